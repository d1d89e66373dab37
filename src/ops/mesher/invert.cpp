#include "ops/mesher/invert.hpp"

#include <vector>

#include "ops/mesher/rewrite.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

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

}  // namespace

std::span<const std::uint8_t> inversion_permutation(ElementType t) {
  switch (t) {
    case ElementType::POI1: return kPoi1;
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

Mesh invert(const Mesh& mesh) {
  return rewrite_submeshes(mesh, [](const SubMeshSnapshot& in, const store::Handle<Coords>& coords) {
    const auto perm = inversion_permutation(in.element_type);
    SubMesh out(in.element_type, coords);
    std::vector<NodeId> cell(perm.size());
    for (std::uint64_t c = 0; c < in.cell_count(); ++c) {
      const auto old = in.cell(c);
      for (std::size_t k = 0; k < perm.size(); ++k) cell[k] = old[perm[k]];
      out.add_cell(cell);
    }
    return out;
  });
}

}  // namespace quenlith::ops::mesher
