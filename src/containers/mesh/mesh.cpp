#include "containers/mesh/mesh.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "containers/mesh/node.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::mesh {

using store::Handle;

namespace {

Handle<Coords> coords_of_sub(const Handle<SubMesh>& sub) {
  store::ReadGuard<SubMesh> guard = store::read(sub);
  return guard->coords();
}

}  // namespace

void Mesh::check_joins(const Handle<SubMesh>& first, const Handle<SubMesh>& incoming) {
  const Handle<Coords> a = coords_of_sub(first);
  const Handle<Coords> b = coords_of_sub(incoming);
  if (!(a == b)) throw Error::message("mismatched Coords");
}

Mesh Mesh::or_node(const Node& node) const {
  const Handle<SubMesh> only = unit();
  Handle<Coords> coords;
  std::vector<NodeId> ids;
  {
    store::ReadGuard<SubMesh> guard = store::read(only);
    QUENLITH_VERIFY(guard->element_type() == ElementType::POI1, "Mesh | Node: expected a unitary POI1 mesh");
    coords = guard->coords();
    const auto conn = guard->connectivity();
    ids.reserve(conn.size() + 1);
    ids.assign(conn.begin(), conn.end());
  }
  if (!(node.handle() == coords)) throw Error::message("mismatched Coords");
  ids.push_back(node.id());
  return from_submesh(SubMesh::poi1_from_ids(std::move(coords), ids));
}

Mesh Mesh::from_submesh(SubMesh submesh) {
  std::vector<Handle<SubMesh>> list;
  list.push_back(store::insert(std::move(submesh)));
  return Mesh(std::move(list));
}

std::uint64_t Mesh::cell_count() const {
  std::uint64_t total = 0;
  for (const auto& h : subs()) total += store::read(h)->cell_count();
  return total;
}

std::vector<std::uint64_t> Mesh::cell_counts() const {
  std::vector<std::uint64_t> out;
  out.reserve(subs().size());
  for (const auto& h : subs()) out.push_back(store::read(h)->cell_count());
  return out;
}

std::vector<ElementType> Mesh::element_types() const {
  std::vector<ElementType> out;
  out.reserve(subs().size());
  for (const auto& h : subs()) out.push_back(store::read(h)->element_type());
  return out;
}

Handle<Coords> Mesh::coords() const {
  QUENLITH_VERIFY(!subs().empty(), "coords: mesh has no submeshes");
  return coords_of_sub(subs().front());
}

Node Mesh::node(std::uint64_t s, std::uint64_t c, std::uint64_t j) const {
  QUENLITH_VERIFY(s < subs().size(), "index {} out of bounds (len={})", s, subs().size());
  Handle<Coords> coords;
  NodeId id;
  {
    store::ReadGuard<SubMesh> guard = store::read(subs()[s]);
    const std::uint64_t n = guard->cell_count();
    const std::uint64_t k = guard->nodes_per_cell();
    QUENLITH_VERIFY(c < n, "node: cell index {} ≥ cell_count {}", c, n);
    QUENLITH_VERIFY(j < k, "node: node index {} ≥ nodes_per_cell {}", j, k);
    id = guard->connectivity()[c * k + j];
    coords = guard->coords();
  }
  return Node::acquire(std::move(coords), id);
}

Node Mesh::nearest_node(std::span<const double> point) const {
  Handle<Coords> coords = this->coords();
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    QUENLITH_VERIFY(point.size() == guard->dim(), "nearest_node: point has {} coordinates, mesh is {}-D",
                    point.size(), guard->dim());
  }
  bool found = false;
  NodeId best = 0;
  double best_d2 = std::numeric_limits<double>::infinity();
  for (const auto& h : subs()) {
    // Submesh first, then its Coords: the lock order of the mesh family.
    store::ReadGuard<SubMesh> sub = store::read(h);
    if (sub->connectivity().empty()) continue;
    store::ReadGuard<Coords> c = store::read(coords);
    const std::span<const double> xyz = c->active_buffer();
    const std::size_t dim = c->dim();
    for (NodeId id : sub->connectivity()) {
      // A cell on a collected node is a broken mesh, not a node to pass over.
      QUENLITH_VERIFY(c->is_alive(id), "node {} not found or collected", id);
      double d2 = 0.0;
      for (std::size_t a = 0; a < dim; ++a) {
        const double d = xyz[id * dim + a] - point[a];
        d2 += d * d;
      }
      // A NaN distance loses to any number and ties with another NaN, so a NaN
      // point or NaN coordinates still answer, ties going to the smaller id.
      const bool nan = std::isnan(d2), best_nan = std::isnan(best_d2);
      const bool better = !found || (nan != best_nan ? best_nan
                                                     : (nan ? id < best : d2 < best_d2 || (d2 == best_d2 && id < best)));
      if (better) {
        found = true;
        best = id;
        best_d2 = d2;
      }
    }
  }
  QUENLITH_VERIFY(found, "nearest_node: mesh references no nodes");
  return Node::acquire(std::move(coords), best);
}

std::uint64_t Mesh::add_cell(std::span<const NodeId> ids) {
  QUENLITH_VERIFY(subs().size() == 1, "add_cell: mesh must have exactly one submesh");
  store::WriteGuard<SubMesh> guard = store::write(subs().front());
  return guard->add_cell(ids);
}

Mesh Mesh::duplicate() const {
  Mesh out;
  out.mutable_subs().reserve(subs().size());
  for (const auto& h : subs()) {
    std::optional<SubMesh> copy;
    {
      store::ReadGuard<SubMesh> guard = store::read(h);
      copy.emplace(guard->duplicate());
    }
    out.mutable_subs().push_back(store::insert(std::move(*copy)));
  }
  return out;
}

std::string Mesh::display_text() const {
  std::uint64_t total = 0;
  try {
    total = cell_count();
  } catch (const Error&) {
    total = 0;
  }
  return fmt::format("Mesh: {} submesh(es), {} cell(s) total", subs().size(), total);
}

}  // namespace quenlith::containers::mesh
