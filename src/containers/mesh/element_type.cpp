#include "containers/mesh/element_type.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace quenlith::containers::mesh {

namespace {

struct TypeInfo {
  std::string_view name;
  std::uint64_t nodes;
  std::uint64_t dim;
};

constexpr std::array<TypeInfo, kElementTypeCount> kInfo{{
    {"POI1", 1, 0},   {"SEG2", 2, 1},    {"TRI3", 3, 2},   {"QUA4", 4, 2},  {"TET4", 4, 3},
    {"PENTA6", 6, 3}, {"HEX8", 8, 3},    {"SEG3", 3, 1},   {"TRI6", 6, 2},  {"QUA8", 8, 2},
    {"TET10", 10, 3}, {"PENTA15", 15, 3}, {"HEX20", 20, 3}, {"QUA9", 9, 2}, {"HEX27", 27, 3},
}};

static_assert(std::ranges::max(kInfo, {}, &TypeInfo::nodes).nodes == kMaxNodesPerCell);

constexpr std::array<ElementType, kElementTypeCount> kAll{
    ElementType::POI1,  ElementType::SEG2,  ElementType::TRI3,    ElementType::QUA4,  ElementType::TET4,
    ElementType::PENTA6, ElementType::HEX8, ElementType::SEG3,    ElementType::TRI6,  ElementType::QUA8,
    ElementType::TET10, ElementType::PENTA15, ElementType::HEX20, ElementType::QUA9, ElementType::HEX27,
};

constexpr double kSeg2[] = {-1, 1};
constexpr double kSeg3[] = {-1, 1, 0};
constexpr double kTri3[] = {0, 0, 1, 0, 0, 1};
constexpr double kTri6[] = {0, 0, 1, 0, 0, 1, 0.5, 0, 0.5, 0.5, 0, 0.5};
constexpr double kQua4[] = {-1, -1, 1, -1, 1, 1, -1, 1};
constexpr double kQua8[] = {-1, -1, 1, -1, 1, 1, -1, 1, 0, -1, 1, 0, 0, 1, -1, 0};
constexpr double kQua9[] = {-1, -1, 1, -1, 1, 1, -1, 1, 0, -1, 1, 0, 0, 1, -1, 0, 0, 0};
constexpr double kTet4[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
constexpr double kTet10[] = {0,   0, 0, 1,   0,   0,   0, 1,   0,   0, 0,   1,   0.5, 0,   0,
                             0.5, 0.5, 0, 0, 0.5, 0, 0, 0, 0.5, 0.5, 0, 0.5, 0,   0.5, 0.5};
constexpr double kPenta6[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1};
constexpr double kPenta15[] = {
    0,   0,   0,   1, 0,   0,   0, 1,   0,   0, 0, 1,   1,   0, 1,   0, 1, 1,    // vertices
    0.5, 0,   0,   0.5, 0.5, 0, 0, 0.5, 0,                                         // bottom edges
    0.5, 0,   1,   0.5, 0.5, 1, 0, 0.5, 1,                                         // top edges
    0,   0,   0.5, 1, 0,   0.5, 0, 1,   0.5,                                       // vertical edges
};
#define QUENLITH_HEX8_NODES \
  -1, -1, -1, 1, -1, -1, 1, 1, -1, -1, 1, -1, -1, -1, 1, 1, -1, 1, 1, 1, 1, -1, 1, 1
#define QUENLITH_HEX20_EDGES                                                                              \
  0, -1, -1, 1, 0, -1, 0, 1, -1, -1, 0, -1, 0, -1, 1, 1, 0, 1, 0, 1, 1, -1, 0, 1, -1, -1, 0, 1, -1, 0, 1, \
      1, 0, -1, 1, 0
constexpr double kHex8[] = {QUENLITH_HEX8_NODES};
constexpr double kHex20[] = {QUENLITH_HEX8_NODES, QUENLITH_HEX20_EDGES};
constexpr double kHex27[] = {QUENLITH_HEX8_NODES, QUENLITH_HEX20_EDGES,
                             -1, 0, 0, 1, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0};
#undef QUENLITH_HEX8_NODES
#undef QUENLITH_HEX20_EDGES

constexpr std::uint8_t kQua9Index[] = {0, 0, 2, 0, 2, 2, 0, 2, 1, 0, 2, 1, 1, 2, 0, 1, 1, 1};
constexpr std::uint8_t kHex27Index[] = {
    0, 0, 0, 2, 0, 0, 2, 2, 0, 0, 2, 0, 0, 0, 2, 2, 0, 2, 2, 2, 2, 0, 2, 2,  // vertices
    1, 0, 0, 2, 1, 0, 1, 2, 0, 0, 1, 0,                                      // bottom edges
    1, 0, 2, 2, 1, 2, 1, 2, 2, 0, 1, 2,                                      // top edges
    0, 0, 1, 2, 0, 1, 2, 2, 1, 0, 2, 1,                                      // vertical edges
    0, 1, 1, 2, 1, 1, 1, 0, 1, 1, 2, 1, 1, 1, 0, 1, 1, 2,                    // face centres
    1, 1, 1,                                                                 // centre
};

const TypeInfo& info(ElementType t) { return kInfo[static_cast<std::size_t>(t)]; }

}  // namespace

std::span<const ElementType> all_element_types() { return kAll; }

std::string_view name(ElementType t) { return info(t).name; }

std::optional<ElementType> element_type_from_name(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (ElementType t : kAll)
    if (upper == info(t).name) return t;
  return std::nullopt;
}

std::uint64_t nodes_per_cell(ElementType t) { return info(t).nodes; }

std::uint64_t ref_dim(ElementType t) { return info(t).dim; }

std::pair<std::uint64_t, std::uint64_t> cells_in(std::uint64_t length, ElementType t) {
  const std::uint64_t n = nodes_per_cell(t);
  return {length / n, length % n};
}

std::span<const double> reference_nodes(ElementType t) {
  switch (t) {
    case ElementType::POI1: return {};
    case ElementType::SEG2: return kSeg2;
    case ElementType::TRI3: return kTri3;
    case ElementType::QUA4: return kQua4;
    case ElementType::TET4: return kTet4;
    case ElementType::PENTA6: return kPenta6;
    case ElementType::HEX8: return kHex8;
    case ElementType::SEG3: return kSeg3;
    case ElementType::TRI6: return kTri6;
    case ElementType::QUA8: return kQua8;
    case ElementType::TET10: return kTet10;
    case ElementType::PENTA15: return kPenta15;
    case ElementType::HEX20: return kHex20;
    case ElementType::QUA9: return kQua9;
    case ElementType::HEX27: return kHex27;
  }
  return {};
}

std::span<const std::uint8_t> qua9_index_table() { return kQua9Index; }
std::span<const std::uint8_t> hex27_index_table() { return kHex27Index; }

}  // namespace quenlith::containers::mesh
