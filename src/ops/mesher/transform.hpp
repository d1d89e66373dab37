#pragma once
// Rigid transforms: a moved copy of a mesh with nodes of its own.
//
// Every node that a cell of the input uses is copied once (a node shared by cells or
// submeshes included) into the same Coords at its moved position; the copies are made
// in order of first use, submesh by submesh, in connectivity order. The output has
// one submesh per input submesh, in order, with the input's type and face colour,
// unsealed, each cell naming the copies. Nodes no cell uses are not copied; the
// input is left as it is.
//
// Moves, for a point x, centre c and angle θ (sine and cosine computed once):
//   translation  x'_k = x_k + v_k
//   2-D rotation x' = ((x - c_x) cos θ + c_x) - (y - c_y) sin θ
//                y' = (y - c_y) cos θ + ((x - c_x) sin θ + c_y)
//   3-D rotation w = x - c, k the unit axis (right-handed), k·w = (k_x w_x + k_y w_y) + k_z w_z:
//                x' = ((1 - cos θ)(k·w)) k + (sin θ (k × w) + (c + cos θ w))
#include <optional>
#include <span>
#include <vector>

#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// Errors, in order: "coords: mesh has no submeshes"; guard errors; "translate: vector
// has {} components but the mesh is {}-D"; "translate: vector must be finite (got
// [{}])"; "node {} not found or collected"; "translate: node {} has a non-finite
// coordinate"; the room refusal; "translate: a new node would have a non-finite
// coordinate ([{}]): the input coordinates are too large" for the first moved node
// that overflows.
containers::mesh::Mesh translate(const containers::mesh::Mesh& mesh, std::span<const double> vector);

// Errors, in order: "coords: mesh has no submeshes"; guard errors; "rotate: center has
// {} components but the mesh is {}-D"; "rotate: center must be finite (got [{}])";
// "rotate: angle must be finite (got [{}])"; in 2-D nothing about the axis; in 3-D
// "rotate: a 3-D mesh needs a rotation axis", "rotate: axis has {} components but
// must be 3-D", "rotate: axis must be finite (got [{}])", "rotate: axis must be
// non-zero"; in any other dimension "rotate: only 2-D and 3-D meshes are supported
// (got {}-D)"; then the node errors as for translate.
containers::mesh::Mesh rotate(const containers::mesh::Mesh& mesh, std::span<const double> center,
                              const std::optional<std::vector<double>>& axis, double angle);

}  // namespace quenlith::ops::mesher
