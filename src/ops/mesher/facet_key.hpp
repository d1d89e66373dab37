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
  std::size_t operator()(const FacetKey& k) const noexcept {
    // 64-bit mix of the ids (splitmix finaliser per step): keys of a mesh are
    // strongly correlated, so the identity hash of the ids would cluster.
    std::uint64_t h = k.n;
    for (std::size_t i = 0; i < k.n; ++i) {
      h ^= k.ids[i] + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
      h ^= h >> 31;
      h *= 0xBF58476D1CE4E5B9ull;
      h ^= h >> 29;
    }
    return static_cast<std::size_t>(h);
  }
};

}  // namespace quenlith::ops::mesher
