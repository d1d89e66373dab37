#include "ops/mesher/consolidate.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_set>
#include <vector>

#include "ops/mesher/submesh_copy.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;

namespace {

// A cell already kept, as a position in `kept` (the output's connectivity so far):
// the set hashes and compares the k ids there, so no list is stored twice.
struct KeptCells {
  const std::vector<NodeId>* kept;
  std::size_t k;

  std::span<const NodeId> at(std::uint64_t cell) const { return std::span<const NodeId>(*kept).subspan(cell * k, k); }
};

struct CellHash {
  const KeptCells* cells;
  const std::vector<NodeId>* probe;  // the cell looked for, at index UINT64_MAX
  using is_transparent = void;
  std::size_t operator()(std::uint64_t cell) const noexcept {
    const auto ids = cell == UINT64_MAX ? std::span<const NodeId>(*probe) : cells->at(cell);
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (NodeId id : ids) {
      h ^= id;
      h *= 0x100000001B3ull;
      h ^= h >> 29;
    }
    return static_cast<std::size_t>(h);
  }
};

struct CellEqual {
  const KeptCells* cells;
  const std::vector<NodeId>* probe;
  bool operator()(std::uint64_t a, std::uint64_t b) const noexcept {
    const auto x = a == UINT64_MAX ? std::span<const NodeId>(*probe) : cells->at(a);
    const auto y = b == UINT64_MAX ? std::span<const NodeId>(*probe) : cells->at(b);
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
  }
};

}  // namespace

Mesh consolidate_mesh(const Mesh& mesh) {
  const store::Handle<containers::mesh::Coords> coords = mesh.coords();

  std::vector<ElementType> types;
  std::vector<ElementType> type_of;  // per input submesh
  std::vector<containers::mesh::RgbColor> color_of_type;
  for (const auto& h : mesh.subs()) {
    store::ReadGuard<containers::mesh::SubMesh> guard = store::read(h);
    const ElementType t = guard->element_type();
    type_of.push_back(t);
    if (std::find(types.begin(), types.end(), t) == types.end()) {
      types.push_back(t);
      color_of_type.push_back(guard->face_color());
    }
  }

  Mesh result;
  for (std::size_t ti = 0; ti < types.size(); ++ti) {
    const ElementType t = types[ti];
    containers::mesh::SubMesh out = new_submesh(t, coords, color_of_type[ti]);
    std::vector<NodeId> kept;
    std::vector<NodeId> probe;
    const KeptCells cells{&kept, containers::mesh::nodes_per_cell(t)};
    std::unordered_set<std::uint64_t, CellHash, CellEqual> seen(16, CellHash{&cells, &probe},
                                                                 CellEqual{&cells, &probe});
    std::uint64_t n_kept = 0;
    for (std::size_t s = 0; s < type_of.size(); ++s) {
      if (type_of[s] != t) continue;
      const SubMeshCopy sub = copy_submesh(mesh.subs()[s]);
      const std::uint64_t n = sub.cell_count();
      for (std::uint64_t c = 0; c < n; ++c) {
        const auto cell = sub.cell(c);
        probe.assign(cell.begin(), cell.end());
        if (seen.contains(UINT64_MAX)) continue;
        out.add_cell(cell);
        kept.insert(kept.end(), cell.begin(), cell.end());
        seen.insert(n_kept++);
      }
    }
    result.push_sub(store::insert(std::move(out)));
  }
  return result;
}

}  // namespace quenlith::ops::mesher
