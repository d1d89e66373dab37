#pragma once
// Quadratic promotion: every linear cell (SEG2, TRI3, QUA4, TET4, PENTA6, HEX8)
// becomes its quadratic counterpart (SEG3 ... HEX20) with one new node at the
// midpoint of each edge, shared by every cell of every submesh that uses the edge.
//
// A promoted cell lists its corners in the input's order, then one mid node per edge
// in the order of `quadratic_edges` (the catalogue's node order of the quadratic
// type). New node ids are handed out in order of first use: submesh by submesh, cell
// by cell, edge by edge. The call keeps one reference on each mid node while it runs
// (a table keyed by the edge's two ids, smaller first, whose iteration order is never
// used); the cells hold theirs afterwards.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// The quadratic counterpart of a linear type; nullopt for POI1 and the quadratic types.
std::optional<containers::mesh::ElementType> quadratic_counterpart(containers::mesh::ElementType t);

// The edges of a linear type as pairs of local corner numbers, in mid-node order;
// empty for a type without counterpart.
std::span<const std::array<std::uint8_t, 2>> quadratic_edges(containers::mesh::ElementType t);

// One output submesh per input submesh, in order, with the input's face colours,
// unsealed. A mid node is (a + b) * 0.5 of its corners, or a * 0.5 + b * 0.5 where
// the sum overflows, so that finite corners give a finite node however large.
// Errors: "coords: mesh has no submeshes"; before any node is made, "node {} not
// found or collected" and "to_quadratic: node {} has a non-finite coordinate" for the
// corners of the submeshes before the first without counterpart; "to_quadratic: {}
// has no quadratic counterpart (supported: SEG2, TRI3, QUA4, TET4, PENTA6, HEX8)" when
// its submesh is reached; guard errors. Mid nodes made before an error stay in the
// Coords without references.
containers::mesh::Mesh to_quadratic(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
