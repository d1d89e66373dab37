#pragma once
// The legacy VTK file of a mesh with an element field as CELL_DATA.
#include <string>

#include "containers/element_field/element_field.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::io {

// Title "quenlith element field"; after the grid, one array per component of the
// field (the union of its zones' names, in order of first appearance), holding for
// each cell the mean of its Gauss-point values (summed in order from 0, divided by
// the Gauss count; 0 for a zone without Gauss points) in the first zone, in field
// order, whose subspace is built on the cell's submesh and which carries the
// component; 0 where no such zone carries it. Zones on submeshes of other meshes are
// ignored. Errors, after the grid's, in this order:
//   "vtk: a mesh submesh carries no element-field zone — the field must come from a
//   space built on this mesh" at the first submesh (mesh order) without a zone;
//   "vtk: element field has {} cell(s) on a submesh with {} — the field must come
//   from a space built on this mesh" when the first zone of a submesh has another
//   cell count;
//   "vtk: component {} is carried by two zones on the same support — consolidate the
//   field first", component by component, at the first submesh with cells where two
//   zones carry it;
//   guard errors. Nothing is written on error.
void write_vtk_element_field(const containers::mesh::Mesh& mesh,
                             const containers::element_field::ElementField& field, const std::string& path);

}  // namespace quenlith::ops::io
