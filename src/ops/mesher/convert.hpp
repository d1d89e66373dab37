#pragma once
// Element-type conversion by splitting each cell over its own corners, without
// making, moving or copying a node: identity (a cell-for-cell copy), QUA4 -> TRI3
// (two triangles on the (0, 2) diagonal) and HEX8 -> TET4 (six tetrahedra around the
// (0, 6) diagonal, each with the hexahedron's orientation). Sub-cells follow their
// source cell's order, in the order of the split table.
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// One output submesh of type `target` per input submesh, in order, with the input's
// face colours, unsealed. Errors: "coords: mesh has no submeshes"; "convert: no {} →
// {} conversion (supported: identity, QUA4 → TRI3, HEX8 → TET4)" when a submesh of an
// unsupported source type is reached (with or without cells); cell and guard errors.
containers::mesh::Mesh convert(const containers::mesh::Mesh& mesh, containers::mesh::ElementType target);

}  // namespace quenlith::ops::mesher
