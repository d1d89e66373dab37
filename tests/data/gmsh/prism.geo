// Triangles extruded into a layer of prisms.
SetFactory("Built-in");
lc = 0.6;
Point(1) = {0, 0, 0, lc};
Point(2) = {1, 0, 0, lc};
Point(3) = {0.2, 1, 0, lc};
Line(1) = {1, 2};
Line(2) = {2, 3};
Line(3) = {3, 1};
Curve Loop(1) = {1, 2, 3};
Plane Surface(1) = {1};
out[] = Extrude {0, 0, 0.5} { Surface{1}; Layers{2}; Recombine; };
Physical Volume("wedges") = {out[1]};
Physical Surface("floor") = {1};
