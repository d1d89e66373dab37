#include "containers/geom/barycenter.hpp"

#include <vector>

#include "base/error.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/mesh/node_refs.hpp"
#include "containers/mesh/rewrite.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::geom {

using containers::mesh::NodeRefs;
using containers::mesh::SubMeshSnapshot;
using containers::mesh::snapshot;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

// The centroids of every cell of `snap`, `dim` values each, in cell order.
std::vector<double> centroids(const SubMeshSnapshot& snap, const store::Handle<Coords>& coords) {
  store::ReadGuard<Coords> guard = store::read(coords);
  const Coords& c = *guard;
  const std::size_t dim = c.dim();
  const std::span<const double> buf = c.active_buffer();
  const std::uint64_t n = snap.cell_count();
  std::vector<double> out(n * dim);
  std::vector<double> sum(dim);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::span<const NodeId> cell = snap.cell(i);
    std::fill(sum.begin(), sum.end(), 0.0);
    for (const NodeId id : cell) {
      QUENLITH_VERIFY(c.is_alive(id), "node {} not found or collected", id);
      for (std::size_t k = 0; k < dim; ++k) sum[k] += buf[std::size_t{id} * dim + k];
    }
    const double count = static_cast<double>(cell.size());
    for (std::size_t k = 0; k < dim; ++k) out[i * dim + k] = sum[k] / count;
  }
  return out;
}

}  // namespace

Mesh barycenter(const Mesh& mesh) {
  Mesh out;
  for (const auto& sub : mesh.subs()) {
    const store::Handle<Coords> coords = store::read(sub)->coords();
    const SubMeshSnapshot snap = snapshot(sub);
    const std::vector<double> points = centroids(snap, coords);
    // The new nodes are held here until their cells hold them; then this list's
    // references go, leaving each node the one reference of its cell.
    NodeRefs fresh(coords);
    fresh.create(points);
    SubMesh result(ElementType::POI1, coords);
    result.add_cells(fresh.ids());
    out.push_sub(store::insert(std::move(result)));
  }
  return out;
}

}  // namespace quenlith::containers::geom
