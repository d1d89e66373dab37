#pragma once
// The legacy VTK file of a mesh with a node field as POINT_DATA.
#include <string>

#include "containers/mesh/mesh.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::io {

// Title "quenlith node field"; after the grid, one array per component of the field
// (the union of its zones' names, in order of first appearance), holding at each
// point the value of the first zone, in field order, that holds both the point's
// node and the component, and 0 where no zone does. Errors, after the grid's:
// "vtk: node-field zone {} lies on another Coords than the mesh" at the first zone
// (field order) whose support is on another Coords (its ids name other nodes);
// guard errors. Nothing is written on error.
void write_vtk_node_field(const containers::mesh::Mesh& mesh, const containers::node_field::NodeField& field,
                          const std::string& path);

}  // namespace quenlith::ops::io
