#include "ops/mesher/orient.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "ops/mesher/facet_key.hpp"
#include "ops/mesher/inversion.hpp"
#include "ops/mesher/submesh_copy.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;

namespace {

// The facets of each family, all listed with one orientation relative to the
// cell, as cycles of local corner indices.
constexpr FacetTable kNone{0, {}, {}};
constexpr FacetTable kSegment{2, {1, 1}, {{{0}, {1}}}};
constexpr FacetTable kTriangle{3, {2, 2, 2}, {{{0, 1}, {1, 2}, {2, 0}}}};
constexpr FacetTable kQuadrangle{4, {2, 2, 2, 2}, {{{0, 1}, {1, 2}, {2, 3}, {3, 0}}}};
constexpr FacetTable kTetrahedron{4, {3, 3, 3, 3}, {{{1, 2, 3}, {0, 3, 2}, {0, 1, 3}, {0, 2, 1}}}};
constexpr FacetTable kPrism{5, {3, 3, 4, 4, 4}, {{{0, 2, 1}, {3, 4, 5}, {0, 1, 4, 3}, {1, 2, 5, 4}, {2, 0, 3, 5}}}};
constexpr FacetTable kHexahedron{
    6, {4, 4, 4, 4, 4, 4}, {{{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {0, 4, 7, 3}}}};

const FacetTable& facets_of(ElementType t) {
  switch (t) {
    case ElementType::POI1: return kNone;
    case ElementType::SEG2:
    case ElementType::SEG3: return kSegment;
    case ElementType::TRI3:
    case ElementType::TRI6: return kTriangle;
    case ElementType::QUA4:
    case ElementType::QUA8:
    case ElementType::QUA9: return kQuadrangle;
    case ElementType::TET4:
    case ElementType::TET10: return kTetrahedron;
    case ElementType::PENTA6:
    case ElementType::PENTA15: return kPrism;
    case ElementType::HEX8:
    case ElementType::HEX20:
    case ElementType::HEX27: return kHexahedron;
  }
  return kNone;
}

// The direction in which a cell runs through a facet listed as `p` (+1 or -1).
// A segment end is -1 at the tail (local 0) and +1 at the head (local 1).
int facet_sense(std::span<const NodeId> p, std::uint8_t local_end) {
  const std::size_t n = p.size();
  if (n == 1) return local_end == 0 ? -1 : 1;
  if (n == 2) return p[0] < p[1] ? 1 : -1;
  std::size_t d = 0;
  for (std::size_t i = 1; i < n; ++i)
    if (p[i] < p[d]) d = i;
  return p[(d + 1) % n] < p[(d + n - 1) % n] ? 1 : -1;
}

// Only a facet met exactly twice links cells, so the first two visits are kept
// and the rest only counted.
struct FacetUse {
  std::uint32_t count = 0;
  std::uint64_t cell[2] = {0, 0};
  int sense[2] = {0, 0};
};

struct Link {
  std::uint64_t cell;
  std::uint64_t neighbour;
  bool same;
  friend auto operator<=>(const Link&, const Link&) = default;
};

}  // namespace

Mesh orient(const Mesh& mesh) {
  const store::Handle<containers::mesh::Coords> coords = mesh.coords();

  FlatMap<FacetKey, FacetUse, FacetKeyHash> facets;
  std::uint64_t n_cells = 0;
  for (const auto& h : mesh.subs()) {
    const SubMeshCopy sub = copy_submesh(h);
    const FacetTable& table = facets_of(sub.element_type);
    const std::uint64_t cells = sub.cell_count();
    for (std::uint64_t c = 0; c < cells; ++c, ++n_cells) {
      const auto cell = sub.cell(c);
      for (std::uint8_t f = 0; f < table.n_facets; ++f) {
        NodeId p[4];
        const std::span<const NodeId> listed(p, table.gather(f, cell, p));
        FacetUse& use = *facets.try_emplace(FacetKey::of(listed)).first;
        if (use.count < 2) {
          use.cell[use.count] = n_cells;
          use.sense[use.count] = facet_sense(listed, table.local[f][0]);
        }
        if (use.count < 3) ++use.count;  // 3 stands for "three or more"
      }
    }
  }

  // Both directions of every link, sorted by (cell, neighbour, flag): each cell's
  // neighbour list in a fixed order, whatever the map's iteration order.
  std::vector<Link> links;
  facets.for_each([&](const FacetKey&, const FacetUse& use) {
    if (use.count != 2) return;
    const bool same = use.sense[0] == use.sense[1];
    links.push_back({use.cell[0], use.cell[1], same});
    links.push_back({use.cell[1], use.cell[0], same});
  });
  facets = FlatMap<FacetKey, FacetUse, FacetKeyHash>();
  std::sort(links.begin(), links.end());
  std::vector<std::uint64_t> first(n_cells + 1, 0);
  for (const Link& l : links) ++first[l.cell + 1];
  for (std::uint64_t i = 0; i < n_cells; ++i) first[i + 1] += first[i];

  std::vector<bool> visited(n_cells, false), flip(n_cells, false);
  std::deque<std::uint64_t> queue;
  for (std::uint64_t seed = 0; seed < n_cells; ++seed) {
    if (visited[seed]) continue;
    visited[seed] = true;
    queue.push_back(seed);
    while (!queue.empty()) {
      const std::uint64_t c = queue.front();
      queue.pop_front();
      for (std::uint64_t i = first[c]; i < first[c + 1]; ++i) {
        const Link& l = links[i];
        if (visited[l.neighbour]) continue;
        // Same direction through the shared facet: the opposite state of c.
        flip[l.neighbour] = l.same != flip[c];
        visited[l.neighbour] = true;
        queue.push_back(l.neighbour);
      }
    }
  }

  Mesh result;
  std::uint64_t number = 0;
  for (const auto& h : mesh.subs()) {
    const SubMeshCopy sub = copy_submesh(h);
    containers::mesh::SubMesh out = new_submesh(sub.element_type, coords, sub.face_color);
    const std::uint64_t cells = sub.cell_count();
    NodeId flipped[containers::mesh::kMaxNodesPerCell];
    for (std::uint64_t c = 0; c < cells; ++c, ++number) {
      const auto cell = sub.cell(c);
      // A cell added to an input submesh since the first pass keeps its orientation.
      if (number < n_cells && flip[number]) {
        const std::span<NodeId> reversed(flipped, cell.size());
        invert_cell(sub.element_type, cell, reversed);
        out.add_cell(reversed);
      } else {
        out.add_cell(cell);
      }
    }
    result.push_sub(store::insert(std::move(out)));
  }
  return result;
}

}  // namespace quenlith::ops::mesher
