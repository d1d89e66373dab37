#pragma once
// The catalogue of cell kinds: 15 element types with their node counts, reference
// dimensions, reference cells and node orders.
//
// The discriminants are fixed (stored objects and swap files keep them): POI1 = 0 ...
// HEX27 = 14; QUA9 and HEX27 come after HEX20. Reference cells, in (xi, eta, zeta):
// segment [-1, 1], square [-1, 1]^2, cube [-1, 1]^3, triangle and tetrahedron the
// unit simplices, prism the unit triangle times zeta in [0, 1]. Node orders are the
// VTK ones (quadratic mid-edge nodes after the vertices, SEG3's middle node last).
//
// Text form: the bare name ("PENTA15"), also through fmt, which ignores any width,
// fill or alignment asked for. All accessors are constant-time table lookups.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace quenlith::containers::mesh {

enum class ElementType : std::uint8_t {
  POI1, SEG2, TRI3, QUA4, TET4, PENTA6, HEX8,
  SEG3, TRI6, QUA8, TET10, PENTA15, HEX20, QUA9, HEX27,
};

inline constexpr std::size_t kElementTypeCount = 15;

// The most nodes any cell has (HEX27): the size of per-cell scratch arrays.
inline constexpr std::size_t kMaxNodesPerCell = 27;

// All 15 types in discriminant order.
std::span<const ElementType> all_element_types();

// "POI1" ... "HEX27".
std::string_view name(ElementType t);

// Case-insensitive for ASCII letters only, nothing trimmed; empty or unknown -> nullopt.
std::optional<ElementType> element_type_from_name(std::string_view text);

std::uint64_t nodes_per_cell(ElementType t);
std::uint64_t ref_dim(ElementType t);

// (length / nodes per cell, length % nodes per cell) for a connectivity of `length` ids.
std::pair<std::uint64_t, std::uint64_t> cells_in(std::uint64_t length, ElementType t);

// Reference coordinates of the nodes in node order: nodes_per_cell * ref_dim values,
// node-major (empty for POI1). Static storage, valid for the program's lifetime.
std::span<const double> reference_nodes(ElementType t);

// Per-node 1-D indices (0, 1, 2 for the positions -1, 0, +1) of the tensor-product
// types: QUA9 (9 x 2) and HEX27 (27 x 3), node-major. Static storage.
std::span<const std::uint8_t> qua9_index_table();
std::span<const std::uint8_t> hex27_index_table();

}  // namespace quenlith::containers::mesh

template <>
struct fmt::formatter<quenlith::containers::mesh::ElementType> {
  // The text form is the bare name whatever width or fill the format asks for.
  constexpr auto parse(format_parse_context& ctx) {
    auto it = ctx.begin();
    while (it != ctx.end() && *it != '}') ++it;
    return it;
  }
  template <class Ctx>
  auto format(quenlith::containers::mesh::ElementType t, Ctx& ctx) const {
    const std::string_view n = quenlith::containers::mesh::name(t);
    return std::copy(n.begin(), n.end(), ctx.out());
  }
};
