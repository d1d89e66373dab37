// A transfinite box of hexahedra with quadrangle faces.
SetFactory("Built-in");
Point(1) = {0, 0, 0};
Point(2) = {1, 0, 0};
Point(3) = {1, 0.8, 0};
Point(4) = {0, 0.8, 0};
Line(1) = {1, 2};
Line(2) = {2, 3};
Line(3) = {3, 4};
Line(4) = {4, 1};
Curve Loop(1) = {1, 2, 3, 4};
Plane Surface(1) = {1};
Transfinite Curve{1, 2, 3, 4} = 3;
Transfinite Surface{1};
Recombine Surface{1};
out[] = Extrude {0, 0, 0.6} { Surface{1}; Layers{2}; Recombine; };
Physical Volume("block") = {out[1]};
Physical Surface("base") = {1};
Physical Surface(21) = {out[0]};
