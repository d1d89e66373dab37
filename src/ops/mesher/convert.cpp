#include "ops/mesher/convert.hpp"

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "containers/mesh/rewrite.hpp"
#include "base/error.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::SubMeshSnapshot;
using containers::mesh::rewrite_submeshes;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

// Sub-cells as local node numbers of the source cell, in output order.
constexpr std::uint8_t kQuaToTri[] = {0, 1, 2, /**/ 0, 2, 3};
constexpr std::uint8_t kHexToTet[] = {0, 1, 2, 6, /**/ 0, 2, 3, 6, /**/ 0, 3, 7, 6,
                                      0, 7, 4, 6, /**/ 0, 4, 5, 6, /**/ 0, 5, 1, 6};

// The split table of (source, target), or nullopt when there is none. The identity is
// the table 0 .. k-1.
std::optional<std::vector<std::uint8_t>> split_table(ElementType source, ElementType target) {
  if (source == target) {
    std::vector<std::uint8_t> identity(containers::mesh::nodes_per_cell(source));
    for (std::size_t k = 0; k < identity.size(); ++k) identity[k] = static_cast<std::uint8_t>(k);
    return identity;
  }
  if (source == ElementType::QUA4 && target == ElementType::TRI3)
    return std::vector<std::uint8_t>(std::begin(kQuaToTri), std::end(kQuaToTri));
  if (source == ElementType::HEX8 && target == ElementType::TET4)
    return std::vector<std::uint8_t>(std::begin(kHexToTet), std::end(kHexToTet));
  return std::nullopt;
}

}  // namespace

Mesh convert(const Mesh& mesh, ElementType target) {
  return rewrite_submeshes(mesh, [target](const SubMeshSnapshot& in, const store::Handle<Coords>& coords) {
    const auto table = split_table(in.element_type, target);
    QUENLITH_VERIFY(table.has_value(),
                    "convert: no {} → {} conversion (supported: identity, QUA4 → TRI3, HEX8 → TET4)",
                    in.element_type, target);
    const std::size_t k = containers::mesh::nodes_per_cell(target);
    SubMesh out(target, coords);
    std::vector<NodeId> cell(k);
    for (std::uint64_t c = 0; c < in.cell_count(); ++c) {
      const auto source = in.cell(c);
      for (std::size_t start = 0; start < table->size(); start += k) {
        for (std::size_t j = 0; j < k; ++j) cell[j] = source[(*table)[start + j]];
        out.add_cell(cell);
      }
    }
    return out;
  });
}

}  // namespace quenlith::ops::mesher
