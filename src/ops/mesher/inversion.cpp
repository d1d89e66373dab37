#include "ops/mesher/inversion.hpp"

#include <array>

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::NodeId;

namespace {

constexpr std::uint8_t kPoi1[] = {0};
constexpr std::uint8_t kSeg2[] = {1, 0};
constexpr std::uint8_t kTri3[] = {0, 2, 1};
constexpr std::uint8_t kQua4[] = {0, 3, 2, 1};
constexpr std::uint8_t kTet4[] = {0, 2, 1, 3};
constexpr std::uint8_t kPenta6[] = {0, 2, 1, 3, 5, 4};
constexpr std::uint8_t kHex8[] = {0, 3, 2, 1, 4, 7, 6, 5};
constexpr std::uint8_t kSeg3[] = {1, 0, 2};
constexpr std::uint8_t kTri6[] = {0, 2, 1, 5, 4, 3};
constexpr std::uint8_t kQua8[] = {0, 3, 2, 1, 7, 6, 5, 4};
constexpr std::uint8_t kTet10[] = {0, 2, 1, 3, 6, 5, 4, 7, 9, 8};
constexpr std::uint8_t kPenta15[] = {0, 2, 1, 3, 5, 4, 8, 7, 6, 11, 10, 9, 12, 14, 13};
constexpr std::uint8_t kHex20[] = {0, 3, 2, 1, 4, 7, 6, 5, 11, 10, 9, 8, 15, 14, 13, 12, 16, 19, 18, 17};
constexpr std::uint8_t kQua9[] = {0, 3, 2, 1, 7, 6, 5, 4, 8};
constexpr std::uint8_t kHex27[] = {0,  3,  2,  1,  4,  7,  6,  5,  11, 10, 9,  8,  15, 14,
                                   13, 12, 16, 19, 18, 17, 22, 23, 20, 21, 24, 25, 26};

// In discriminant order.
constexpr std::array<std::span<const std::uint8_t>, containers::mesh::kElementTypeCount> kTable = {
    kPoi1, kSeg2, kTri3, kQua4, kTet4, kPenta6, kHex8, kSeg3, kTri6, kQua8, kTet10, kPenta15, kHex20, kQua9, kHex27,
};

}  // namespace

std::span<const std::uint8_t> inversion_permutation(ElementType t) { return kTable[static_cast<std::size_t>(t)]; }

void invert_cell(ElementType t, std::span<const NodeId> cell, std::span<NodeId> out) {
  const auto perm = inversion_permutation(t);
  for (std::size_t k = 0; k < perm.size(); ++k) out[k] = cell[perm[k]];
}

}  // namespace quenlith::ops::mesher
