#pragma once
// The two-curve sweep and the conversion path of the structured surface generators:
// a QUA4 patch is always built first (sweep_kernel_2d, or the transfinite patch) and
// then converted to the requested type:
//
//   QUA4  the patch itself
//   TRI3  split_quads_to_triangles
//   TRI6  split_quads_to_triangles, then to_quadratic
//   QUA8  to_quadratic
//   QUA9  to_quadratic, then quadratic_to_quad9
//
// The intermediate meshes are dropped; the nodes they share with the result stay held
// by its cells.
#include <cstdint>
#include <string_view>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// The sweep_kernel_2d patch converted to `type`. The kernel's errors, then "sweep:
// unsupported element type {} (expected QUA4, TRI3, QUA8, QUA9, TRI6)" once the patch
// is built (its new nodes stay in the Coords, unreferenced).
containers::mesh::Mesh sweep(const containers::mesh::Mesh& mesh_a, const containers::mesh::Mesh& mesh_b,
                             std::uint64_t n_layers, containers::mesh::ElementType type);

// The conversion of a QUA4 patch to `type` by the table above; for another type
// "{op}: unsupported element type {} (expected QUA4, TRI3, QUA8, QUA9, TRI6)". The
// patch is dropped when this returns.
containers::mesh::Mesh convert_patch(std::string_view op, containers::mesh::Mesh patch,
                                     containers::mesh::ElementType type);

// Each quadrilateral (c0, c1, c2, c3) into the triangles (c0, c1, c2) and (c0, c2,
// c3), in one TRI3 submesh per QUA4 submesh with its face colour; no node is made.
// The split of `convert`: its errors for a submesh of another type.
containers::mesh::Mesh split_quads_to_triangles(const containers::mesh::Mesh& mesh);

// Each QUA8 cell completed with a new centre node at the mean of its four corners
// (summed in corner order, then times 0.25; the mid-edge nodes play no part), in one
// QUA9 submesh per QUA8 submesh with its face colour. Centres are never shared and
// are made in cell order, submesh by submesh. Errors: "coords: mesh has no
// submeshes"; "quadratic_to_quad9: expected QUA8 cells, got {}"; "node {} not found
// or collected"; guard errors.
containers::mesh::Mesh quadratic_to_quad9(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
