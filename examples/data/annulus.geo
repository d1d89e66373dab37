// An annulus a < r < b (a = 1, b = 3) of quadratic triangles, with its two circles named.
// Written to annulus.msh by: gmsh -2 -format msh22 annulus.geo -o annulus.msh
SetFactory("Built-in");
a = 1.0; b = 3.0; lc = 0.5;
Point(1) = {0, 0, 0, lc};
Point(2) = {a, 0, 0, lc};  Point(3) = {0, a, 0, lc};  Point(4) = {-a, 0, 0, lc};  Point(5) = {0, -a, 0, lc};
Point(6) = {b, 0, 0, lc};  Point(7) = {0, b, 0, lc};  Point(8) = {-b, 0, 0, lc};  Point(9) = {0, -b, 0, lc};
Circle(1) = {2, 1, 3};  Circle(2) = {3, 1, 4};  Circle(3) = {4, 1, 5};  Circle(4) = {5, 1, 2};
Circle(5) = {6, 1, 7};  Circle(6) = {7, 1, 8};  Circle(7) = {8, 1, 9};  Circle(8) = {9, 1, 6};
Curve Loop(1) = {5, 6, 7, 8};
Curve Loop(2) = {1, 2, 3, 4};
Plane Surface(1) = {1, 2};
Physical Surface("ring") = {1};
Physical Curve("inner") = {1, 2, 3, 4};
Physical Curve("outer") = {5, 6, 7, 8};
Mesh.ElementOrder = 2;
