#include "ops/io/gmsh/catalogue.hpp"

#include <array>
#include <optional>

#include <fmt/format.h>

#include "base/error.hpp"

namespace quenlith::ops::io::gmsh {

namespace {

using ET = ElementType;

// Index: gmsh type number; nullopt for the numbers we refuse.
constexpr std::array<std::optional<ET>, 19> kTypes = {
    std::nullopt, ET::SEG2,    ET::TRI3,  ET::QUA4, ET::TET4,  ET::HEX8,    ET::PENTA6,
    std::nullopt, ET::SEG3,    ET::TRI6,  ET::QUA9, ET::TET10, ET::HEX27,   std::nullopt,
    std::nullopt, ET::POI1,    ET::QUA8,  ET::HEX20, ET::PENTA15,
};

// Gmsh numbers the mid-edge nodes of its solids edge by edge in its own edge order,
// and the face and centre nodes of HEX27 in its own face order; ours follow the
// catalogue's edges and faces.
constexpr std::uint8_t kTet10[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 8};
constexpr std::uint8_t kPenta15[] = {0, 1, 2, 3, 4, 5, 6, 9, 7, 12, 14, 13, 8, 10, 11};
constexpr std::uint8_t kHex20[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 13, 9, 16, 18, 19, 17, 10, 12, 14, 15};
constexpr std::uint8_t kHex27[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  11, 13, 9,  16, 18,
                                   19, 17, 10, 12, 14, 15, 22, 23, 21, 24, 20, 25, 26};

}  // namespace

ElementType gmsh_element_type(std::uint64_t number) {
  if (number < kTypes.size() && kTypes[number]) return *kTypes[number];
  throw Error::message(
      "gmsh: unsupported element type {} (supported: 1=SEG2, 2=TRI3, 3=QUA4, 4=TET4, 5=HEX8, 6=PENTA6, 15=POI1; "
      "quadratic: 8=SEG3, 9=TRI6, 16=QUA8, 10=QUA9, 11=TET10, 17=HEX20, 18=PENTA15, 12=HEX27)",
      number);
}

std::span<const std::uint8_t> gmsh_permutation(ElementType type) noexcept {
  switch (type) {
    case ET::TET10: return kTet10;
    case ET::PENTA15: return kPenta15;
    case ET::HEX20: return kHex20;
    case ET::HEX27: return kHex27;
    default: return {};
  }
}

void gmsh_permute_nodes(std::span<const containers::mesh::NodeId> ids, std::span<const std::uint8_t> permutation,
                        std::span<containers::mesh::NodeId> out) noexcept {
  if (ids.size() != permutation.size()) {
    for (std::size_t i = 0; i < ids.size(); ++i) out[i] = ids[i];
    return;
  }
  for (std::size_t i = 0; i < ids.size(); ++i) out[i] = ids[permutation[i]];
}

}  // namespace quenlith::ops::io::gmsh
