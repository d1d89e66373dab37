#include "ops/mesher/skin.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "ops/mesher/facet_key.hpp"
#include "ops/mesher/submesh_copy.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

// Outward facets (counter-clockwise seen from outside for a positive cell).
constexpr FacetTable kTet4{4, {3, 3, 3, 3}, {{{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}}}};
constexpr FacetTable kPenta6{5, {3, 3, 4, 4, 4}, {{{0, 2, 1}, {3, 4, 5}, {0, 1, 4, 3}, {1, 2, 5, 4}, {2, 0, 3, 5}}}};
constexpr FacetTable kHex8{
    6, {4, 4, 4, 4, 4, 4}, {{{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}}}};

const FacetTable* outward_facets(ElementType t) {
  switch (t) {
    case ElementType::TET4: return &kTet4;
    case ElementType::PENTA6: return &kPenta6;
    case ElementType::HEX8: return &kHex8;
    default: return nullptr;
  }
}

struct BoundaryFacet {
  std::array<NodeId, 4> ids;
  std::uint8_t n;
  std::array<double, 3> normal;
};

// Newell's normal of the facet's polygon, made unit unless it is zero.
std::array<double, 3> newell_normal(std::span<const NodeId> p, std::span<const double> xyz) {
  double nx = 0.0, ny = 0.0, nz = 0.0;
  const std::size_t k = p.size();
  for (std::size_t i = 0; i < k; ++i) {
    const double* a = &xyz[std::size_t{p[i]} * 3];
    const double* b = &xyz[std::size_t{p[(i + 1) % k]} * 3];
    nx += (a[1] - b[1]) * (a[2] + b[2]);
    ny += (a[2] - b[2]) * (a[0] + b[0]);
    nz += (a[0] - b[0]) * (a[1] + b[1]);
  }
  const double len2 = nx * nx + ny * ny + nz * nz;
  if (len2 > 0.0) {
    const double len = std::sqrt(len2);
    nx /= len;
    ny /= len;
    nz /= len;
  }
  return {nx, ny, nz};
}

// One submesh of the given facets, appended to `result`; nothing for none.
void skin_facet_submesh(Mesh& result, const store::Handle<Coords>& coords, ElementType t,
                        const std::vector<BoundaryFacet>& facets, std::span<const std::uint32_t> which) {
  if (which.empty()) return;
  SubMesh sub = new_submesh(t, coords);
  for (std::uint32_t f : which) sub.add_cell(std::span<const NodeId>(facets[f].ids.data(), facets[f].n));
  result.push_sub(store::insert(std::move(sub)));
}

}  // namespace

Mesh skin(const Mesh& mesh, std::optional<double> angle_deg) {
  const double threshold = angle_deg ? std::cos(*angle_deg * 0.017453292519943295) : kSkinDefaultThreshold;
  const store::Handle<Coords> coords = mesh.coords();
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    QUENLITH_VERIFY(guard->dim() == 3, "skin: only 3-D volume meshes are supported, got dim={}", guard->dim());
  }

  // Counting pass over every volume facet.
  std::vector<SubMeshCopy> subs;
  subs.reserve(mesh.size());
  bool any_volume = false;
  std::uint64_t n_facets = 0;
  for (const auto& h : mesh.subs()) {
    SubMeshCopy sub = copy_submesh(h);
    if (sub.element_type != ElementType::POI1) {
      const FacetTable* table = outward_facets(sub.element_type);
      QUENLITH_VERIFY(table, "skin: only volume meshes (TET4/PENTA6/HEX8) are supported, got {}", sub.element_type);
      any_volume = true;
      n_facets += sub.cell_count() * table->n_facets;
    }
    subs.push_back(std::move(sub));
  }
  QUENLITH_VERIFY(any_volume, "skin: mesh has no volume cells (TET4/PENTA6/HEX8)");

  // Each interior facet is met twice, so about half the visits are distinct keys.
  FlatMap<FacetKey, std::uint32_t, FacetKeyHash> uses(n_facets / 2 + 1);
  // visit(ids, key) for every facet, a cell at a time: the keys of a cell are made
  // and their slots fetched together, so the table's cache misses overlap.
  const auto for_each_facet = [&](auto&& visit) {
    for (const SubMeshCopy& sub : subs) {
      const FacetTable* table = outward_facets(sub.element_type);
      if (!table) continue;
      const std::uint64_t cells = sub.cell_count();
      NodeId p[6][4];
      FacetKey keys[6];
      for (std::uint64_t c = 0; c < cells; ++c) {
        const auto cell = sub.cell(c);
        for (std::uint8_t f = 0; f < table->n_facets; ++f) {
          keys[f] = FacetKey::of(std::span<const NodeId>(p[f], table->gather(f, cell, p[f])));
          uses.prefetch(keys[f]);
        }
        for (std::uint8_t f = 0; f < table->n_facets; ++f) visit(std::span<const NodeId>(p[f], keys[f].n), keys[f]);
      }
    }
  };
  for_each_facet([&](std::span<const NodeId>, const FacetKey& key) {
    std::uint32_t& count = *uses.try_emplace(key).first;
    if (count != UINT32_MAX) ++count;
  });

  // Collecting pass, on the copies, under the Coords read guard only.
  std::vector<BoundaryFacet> boundary;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    const Coords& c = *guard;
    const std::span<const double> xyz = c.active_buffer();
    for_each_facet([&](std::span<const NodeId> p, const FacetKey& key) {
      if (*uses.find(key) != 1) return;
      for (NodeId id : p) QUENLITH_VERIFY(c.is_alive(id), "node {} not found or collected", id);
      BoundaryFacet b{};
      b.n = static_cast<std::uint8_t>(p.size());
      std::copy(p.begin(), p.end(), b.ids.begin());
      b.normal = newell_normal(p, xyz);
      boundary.push_back(b);
    });
  }
  uses = FlatMap<FacetKey, std::uint32_t, FacetKeyHash>();
  subs = {};

  // Edge -> boundary facets having it, in increasing facet number.
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> edges;
  edges.reserve(boundary.size() * 2);
  for (std::uint32_t f = 0; f < boundary.size(); ++f) {
    const BoundaryFacet& b = boundary[f];
    for (std::uint8_t i = 0; i < b.n; ++i) edges[edge_key(b.ids[i], b.ids[(i + 1) % b.n])].push_back(f);
  }

  // Flood: each facet is compared with the neighbour it is reached from.
  constexpr std::uint32_t kUnassigned = UINT32_MAX;
  std::vector<std::uint32_t> label(boundary.size(), kUnassigned);
  std::uint32_t n_faces = 0;
  std::vector<std::uint32_t> stack;
  for (std::uint32_t start = 0; start < boundary.size(); ++start) {
    if (label[start] != kUnassigned) continue;
    label[start] = n_faces;
    stack.push_back(start);
    while (!stack.empty()) {
      const std::uint32_t f = stack.back();
      stack.pop_back();
      const BoundaryFacet& bf = boundary[f];
      for (std::uint8_t i = 0; i < bf.n; ++i) {
        for (std::uint32_t g : edges.find(edge_key(bf.ids[i], bf.ids[(i + 1) % bf.n]))->second) {
          if (label[g] != kUnassigned) continue;
          const auto& a = bf.normal;
          const auto& b = boundary[g].normal;
          const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
          if (!(dot >= threshold)) continue;
          label[g] = n_faces;
          stack.push_back(g);
        }
      }
    }
    ++n_faces;
  }

  // Facets bucketed by face in discovery order: one pass, whatever the number of faces.
  std::vector<std::uint32_t> first(std::size_t{n_faces} * 2 + 1, 0);
  for (std::uint32_t f = 0; f < boundary.size(); ++f) ++first[std::size_t{label[f]} * 2 + (boundary[f].n == 4) + 1];
  for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
  std::vector<std::uint32_t> order(boundary.size());
  {
    std::vector<std::uint32_t> next(first.begin(), first.end() - 1);
    for (std::uint32_t f = 0; f < boundary.size(); ++f) order[next[std::size_t{label[f]} * 2 + (boundary[f].n == 4)]++] = f;
  }

  Mesh result;
  const std::span<const std::uint32_t> all(order);
  for (std::size_t bucket = 0; bucket + 1 < first.size(); ++bucket) {
    const ElementType t = bucket % 2 == 0 ? ElementType::TRI3 : ElementType::QUA4;
    skin_facet_submesh(result, coords, t, boundary, all.subspan(first[bucket], first[bucket + 1] - first[bucket]));
  }
  return result;
}

}  // namespace quenlith::ops::mesher
