// A box meshed with tetrahedra; named and unnamed physical groups.
SetFactory("Built-in");
lc = 0.5;
Point(1) = {0, 0, 0, lc};
Point(2) = {1, 0, 0, lc};
Point(3) = {1, 1, 0, lc};
Point(4) = {0, 1, 0, lc};
Line(1) = {1, 2};
Line(2) = {2, 3};
Line(3) = {3, 4};
Line(4) = {4, 1};
Curve Loop(1) = {1, 2, 3, 4};
Plane Surface(1) = {1};
out[] = Extrude {0, 0, 1.5} { Surface{1}; };
Physical Volume("solid") = {out[1]};
Physical Surface("bottom") = {1};
Physical Surface("top") = {out[0]};
Physical Surface(11) = {out[2]};
Physical Curve("edge") = {1};
