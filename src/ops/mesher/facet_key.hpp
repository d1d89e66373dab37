#pragma once
// Facets of the topology tools. A facet table lists the facets of a cell kind as
// cycles of local node indices; a facet key holds the 1 to 4 node ids of a facet,
// sorted ascending. Two facets are the same facet when their keys are equal, so
// keys of different lengths never match (a segment end, a surface edge and a
// volume facet never meet).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "containers/mesh/coords.hpp"
#include "ops/mesher/flat_map.hpp"

namespace quenlith::ops::mesher {

// Up to six facets of up to four local indices each; facet f is local[f][0 .. size[f]).
struct FacetTable {
  std::uint8_t n_facets;
  std::array<std::uint8_t, 6> size;
  std::array<std::array<std::uint8_t, 4>, 6> local;

  // The node ids of facet f of `cell`, written to `out` (room for 4); returns its size.
  std::uint8_t gather(std::uint8_t f, std::span<const containers::mesh::NodeId> cell,
                      containers::mesh::NodeId* out) const noexcept {
    for (std::uint8_t i = 0; i < size[f]; ++i) out[i] = cell[local[f][i]];
    return size[f];
  }
};

struct FacetKey {
  std::array<containers::mesh::NodeId, 4> ids{};  // the first n sorted, the rest 0
  std::uint8_t n = 0;

  // Sorts a copy of `nodes` (1 to 4 ids).
  static FacetKey of(std::span<const containers::mesh::NodeId> nodes) noexcept {
    FacetKey k;
    k.n = static_cast<std::uint8_t>(nodes.size());
    // Insertion sort: at most four ids.
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      std::size_t j = i;
      for (; j > 0 && k.ids[j - 1] > nodes[i]; --j) k.ids[j] = k.ids[j - 1];
      k.ids[j] = nodes[i];
    }
    return k;
  }
  friend bool operator==(const FacetKey&, const FacetKey&) = default;
};

struct FacetKeyHash {
  std::uint64_t operator()(const FacetKey& k) const noexcept {
    // The ids of a mesh's facets are strongly correlated: mixed, not summed.
    const std::uint64_t lo = std::uint64_t{k.ids[0]} << 32 | k.ids[1];
    const std::uint64_t hi = std::uint64_t{k.ids[2]} << 32 | k.ids[3];
    return mix64(lo ^ mix64(hi + k.n));
  }
};

// The key of an undirected edge: (smaller id, larger id) in one word.
inline std::uint64_t edge_key(containers::mesh::NodeId a, containers::mesh::NodeId b) noexcept {
  return a < b ? (std::uint64_t{a} << 32 | b) : (std::uint64_t{b} << 32 | a);
}

}  // namespace quenlith::ops::mesher
