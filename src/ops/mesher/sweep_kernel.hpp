#pragma once
// The layered kernels of the structured generators: the two-curve sweep (rows of
// quadrilaterals between two SEG2 lines), the solid sweep (prisms or hexahedra
// between two matching TRI3 or QUA4 surfaces) and the extrusion (every SEG2, TRI3 or
// QUA4 cell joined to its copies translated by equal steps).
//
// All three are one scheme: a list of P distinct source nodes, n_layers + 1 layers
// of P nodes each (layer 0 the source nodes themselves, the others interpolated
// towards a partner list or translated), and each source cell joined to its copy in
// the next layer, layer by layer (outer) and cell by cell (inner):
//
//   SEG2 (c0, c1)          -> QUA4   (b0, b1, t1, t0)
//   TRI3 (c0, c1, c2)      -> PENTA6 (b0, b1, b2, t0, t1, t2)
//   QUA4 (c0, c1, c2, c3)  -> HEX8   (b0, b1, b2, b3, t0, t1, t2, t3)
//
// with bi the copy of ci in layer k and ti its copy in layer k + 1. New node ids are
// consecutive, layer by layer, in list order within a layer. While a kernel works
// it holds one reference on every node of every layer; they are given back when it
// returns, so each node ends held only by its cells. Every check precedes the first
// node made, the refusal of a count that would overflow the Coords' 32-bit ids
// included; new submeshes are coloured (180, 200, 230) and unsealed.
#include <cstdint>
#include <span>
#include <vector>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// The node chain of a SEG2 connectivity: the first node of cell 0, then the second
// node of every cell, in cell order (cells are taken to be stored end to end; nothing
// checks it). Empty for no cell.
std::vector<containers::mesh::NodeId> line_chain(std::span<const containers::mesh::NodeId> connectivity);

// The nodes the conversion of an m × n patch of QUA4 cells to `type` adds (mid-edge
// nodes for QUA8, TRI6 and QUA9, diagonals' and centres' too), saturated; 0 for QUA4,
// TRI3 and the types the conversion refuses.
std::uint64_t patch_conversion_nodes(std::uint64_t m, std::uint64_t n, containers::mesh::ElementType type);

// The QUA4 mesh of n_layers rows between the chains of two SEG2 lines (row 0 the
// chain of mesh_a, row n_layers that of mesh_b, node j of a row between node j of
// both chains at (b - a) · (i / n_layers) + a). `then` is the type the caller will
// convert the result to: the nodes of that conversion count in the room check.
// Errors, in order: "sweep: n_layers must be ≥ 1"; "sweep: mesh_a must have exactly
// one submesh" (then mesh_b); guard errors; "sweep: meshes are attached to different
// Coords"; "sweep: mesh_a must be a SEG2 mesh" (then mesh_b); "sweep: mesh_a has {}
// elements but mesh_b has {}"; "sweep: mesh_a and mesh_b have no elements"; "node {}
// not found or collected"; "sweep: node {} has a non-finite coordinate"; the room
// refusal "sweep: n_layers {} too large: it would add {} node(s) but the Coords has room
// for {} more".
containers::mesh::Mesh sweep_kernel_2d(const containers::mesh::Mesh& mesh_a, const containers::mesh::Mesh& mesh_b,
                                       std::uint64_t n_layers,
                                       containers::mesh::ElementType then = containers::mesh::ElementType::QUA4);

// The PENTA6 (from TRI3) or HEX8 (from QUA4) mesh of n_layers layers between two
// surfaces whose nodes pair by position in their cells. Errors, in order:
// "sweep_solid: n_layers must be ≥ 1"; "sweep_solid: both meshes must have exactly one
// submesh"; guard errors; "sweep_solid: meshes are attached to different Coords";
// "sweep_solid: element types differ ({} vs {})"; "sweep_solid: unsupported surface
// type {} (supported: TRI3, QUA4)"; "sweep_solid: mesh_a has {} cells but mesh_b has
// {}"; "sweep_solid: inconsistent node correspondence between the two meshes"; "node
// {} not found or collected"; the non-finite coordinate and room refusals.
containers::mesh::Mesh sweep_solid(const containers::mesh::Mesh& mesh_a, const containers::mesh::Mesh& mesh_b,
                                   std::uint64_t n_layers);

// One submesh per input submesh, in order, of the extruded type; layer I at
// I · (direction / n_layers) + x. Errors, in order: "extrude: n_layers must be ≥ 1";
// "coords: mesh has no submeshes"; guard errors; "extrude: mesh has no cells"; "node
// {} not found or collected"; "extrude: node {} has a non-finite coordinate";
// "extrude: direction has {} components but node dimension is {}"; "extrude:
// direction must be finite (got [{}])"; the room refusal; then, after the layers are
// made, "extrude: cannot extrude {} elements (supported: SEG2, TRI3, QUA4)".
containers::mesh::Mesh extrude(const containers::mesh::Mesh& mesh, std::span<const double> direction,
                               std::uint64_t n_layers);

}  // namespace quenlith::ops::mesher
