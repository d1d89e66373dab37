#include "ops/geom/elements_on.hpp"

#include <algorithm>
#include <vector>

#include "base/error.hpp"
#include "ops/mesher/submesh_copy.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::geom {

using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

Mesh elements_on(const Mesh& mesh, const Mesh& points, bool strict) {
  if (!mesh.subs().empty() && !points.subs().empty())
    QUENLITH_VERIFY(mesh.coords() == points.coords(), "elements_on: mesh and points are not attached to the same Coords");
  // The node set, sorted and without repeats.
  std::vector<NodeId> set;
  for (const auto& h : points.subs()) {
    store::ReadGuard<SubMesh> guard = store::read(h);
    set.insert(set.end(), guard->connectivity().begin(), guard->connectivity().end());
  }
  std::sort(set.begin(), set.end());
  set.erase(std::unique(set.begin(), set.end()), set.end());
  auto in_set = [&](NodeId id) { return std::binary_search(set.begin(), set.end(), id); };

  Mesh out;
  for (const auto& h : mesh.subs()) {
    store::Handle<containers::mesh::Coords> coords;
    {
      store::ReadGuard<SubMesh> guard = store::read(h);
      coords = guard->coords();
    }
    // Copied, and its guard dropped, before cells are added under the Coords guard.
    const mesher::SubMeshCopy src = mesher::copy_submesh(h);
    std::vector<NodeId> kept;
    for (std::uint64_t c = 0; c < src.cell_count(); ++c) {
      const auto cell = src.cell(c);
      const bool keep = strict ? std::all_of(cell.begin(), cell.end(), in_set)
                               : std::any_of(cell.begin(), cell.end(), in_set);
      if (keep) kept.insert(kept.end(), cell.begin(), cell.end());
    }
    SubMesh sub = mesher::new_submesh(src.element_type, coords, src.face_color);
    if (!kept.empty()) sub.add_cells(kept);
    out.push_sub(store::insert(std::move(sub)));
  }
  return out;
}

}  // namespace quenlith::ops::geom
