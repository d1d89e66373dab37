#include "containers/mesh/submesh.hpp"

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "containers/mesh/node.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"

namespace quenlith::containers::mesh {

using store::Handle;

namespace {

// decref with the checks every releasing caller wants: an entry whose node is no
// longer live, or whose count is already 0, is passed over silently.
void give_back(Coords& c, NodeId id) noexcept {
  if (!c.is_alive(id) || c.refcount(id) == 0) return;
  try {
    c.decref(id);
  } catch (...) {
  }
}

}  // namespace

std::string RgbColor::debug_text() const { return fmt::format("RgbColor({}, {}, {})", r, g, b); }

SubMesh::Caches::~Caches() {
  delete index.load(std::memory_order_acquire);
  delete cloud.load(std::memory_order_acquire);  // releases the cloud's count
}

SubMesh::SubMesh(ElementType element_type, Handle<Coords> coords)
    : element_type_(element_type), coords_(std::move(coords)), caches_(std::make_unique<Caches>()) {}

SubMesh::SubMesh(SubMesh&& other) noexcept
    : element_type_(other.element_type_),
      coords_(std::move(other.coords_)),
      connectivity_(std::exchange(other.connectivity_, {})),
      face_color_(other.face_color_),
      sealed_(other.sealed_),
      caches_(std::move(other.caches_)) {}

SubMesh& SubMesh::operator=(SubMesh&& other) noexcept {
  if (this != &other) {
    release_node_references();
    element_type_ = other.element_type_;
    coords_ = std::move(other.coords_);
    connectivity_ = std::exchange(other.connectivity_, {});
    face_color_ = other.face_color_;
    sealed_ = other.sealed_;
    caches_ = std::move(other.caches_);
  }
  return *this;
}

SubMesh::~SubMesh() { release_node_references(); }

void SubMesh::release_node_references() noexcept {
  // Writing out and decoding free objects whose units stay with a record: the node
  // references belong to the record then, exactly like the handles.
  if (connectivity_.empty() || store::detail::ownership_neutral()) return;
  try {
    store::WriteGuard<Coords> guard = store::write(coords_);
    guard->release_all(connectivity_);
  } catch (...) {
    // A Coords that cannot be had is left untouched; a release reports nothing.
  }
  connectivity_.clear();
}

void SubMesh::reserve_for_cell(std::uint64_t n_ids) {
  // Growth by doubling, done before any count changes so that a failed allocation
  // leaves the counts as they were.
  const std::size_t need = connectivity_.size() + n_ids;
  if (need > connectivity_.capacity()) connectivity_.reserve(std::max(need, 2 * connectivity_.capacity()));
}

std::uint64_t SubMesh::add_cell(std::span<const NodeId> ids) {
  if (sealed_) throw Error::mesh_sealed();
  const std::uint64_t k = nodes_per_cell();
  QUENLITH_VERIFY(ids.size() == k, "add_cell({}): expected {} nodes, got {}", element_type_, k, ids.size());
  return append_counted(ids);
}

std::uint64_t SubMesh::add_cells(std::span<const NodeId> ids) {
  if (sealed_) throw Error::mesh_sealed();
  const std::uint64_t k = nodes_per_cell();
  QUENLITH_VERIFY(ids.size() % k == 0, "add_cells({}): {} node ids are not whole cells of {} nodes", element_type_,
                  ids.size(), k);
  return append_counted(ids);
}

std::uint64_t SubMesh::append_counted(std::span<const NodeId> ids) {
  reserve_for_cell(ids.size());
  {
    store::WriteGuard<Coords> guard = store::write(coords_);
    if (const std::size_t bad = guard->incref_all(ids); bad < ids.size())
      throw Error::message("node {} not found or collected", ids[bad]);
  }
  const std::uint64_t index = cell_count();
  connectivity_.insert(connectivity_.end(), ids.begin(), ids.end());
  return index;
}

std::uint64_t SubMesh::add_cell(std::span<const Node* const> nodes) {
  if (sealed_) throw Error::mesh_sealed();
  const std::uint64_t k = nodes_per_cell();
  QUENLITH_VERIFY(nodes.size() == k, "add_cell({}): expected {} nodes, got {}", element_type_, k, nodes.size());
  NodeId ids[kMaxNodesPerCell];
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!(nodes[i]->handle() == coords_)) throw Error::message("mismatched Coords");
    ids[i] = nodes[i]->id();
  }
  return add_cell(std::span<const NodeId>(ids, nodes.size()));
}

std::uint64_t SubMesh::add_cell_taking(std::span<const NodeId> ids) {
  if (sealed_) throw Error::mesh_sealed();
  const std::uint64_t k = nodes_per_cell();
  QUENLITH_VERIFY(ids.size() == k, "add_cell_taking({}): expected {} nodes, got {}", element_type_, k, ids.size());
  {
    store::ReadGuard<Coords> guard = store::read(coords_);
    for (NodeId id : ids) QUENLITH_VERIFY(guard->is_alive(id), "add_cell_taking: node {} is not alive", id);
  }
  reserve_for_cell(k);
  const std::uint64_t index = cell_count();
  connectivity_.insert(connectivity_.end(), ids.begin(), ids.end());
  return index;
}

SubMesh SubMesh::duplicate() const {
  SubMesh copy(element_type_, coords_);
  copy.face_color_ = face_color_;
  // One guard for the whole copy instead of one per cell: the same counts, and a
  // failure gives back what was taken (the partial copy's destructor).
  copy.connectivity_.reserve(connectivity_.size());
  {
    store::WriteGuard<Coords> guard = store::write(coords_);
    Coords& c = *guard;
    const std::uint64_t k = nodes_per_cell();
    for (std::size_t start = 0; start + k <= connectivity_.size(); start += k) {
      for (std::size_t i = start; i < start + k; ++i) {
        if (!c.is_alive(connectivity_[i])) {
          for (std::size_t j = start; j < i; ++j) give_back(c, connectivity_[j]);
          for (NodeId id : copy.connectivity_) give_back(c, id);
          copy.connectivity_.clear();
          throw Error::message("node {} not found or collected", connectivity_[i]);
        }
        c.incref(connectivity_[i]);
      }
      copy.connectivity_.insert(copy.connectivity_.end(), connectivity_.begin() + start,
                                connectivity_.begin() + start + k);
    }
  }
  return copy;
}

SubMesh SubMesh::poi1_from_ids(Handle<Coords> coords, std::span<const NodeId> ids) {
  return poi1_from_owned_ids(std::move(coords), std::vector<NodeId>(ids.begin(), ids.end()));
}

SubMesh SubMesh::poi1_from_owned_ids(Handle<Coords> coords, std::vector<NodeId> ids) {
  return from_cells(ElementType::POI1, std::move(coords), std::move(ids));
}

SubMesh SubMesh::from_cells_taking(ElementType type, Handle<Coords> coords, std::vector<NodeId> ids) {
  SubMesh sub(type, std::move(coords));
  const std::uint64_t k = sub.nodes_per_cell();
  QUENLITH_VERIFY(ids.size() % k == 0, "from_cells({}): {} node ids are not whole cells of {} nodes", type,
                  ids.size(), k);
  if (!ids.empty()) {
    // Bulk lists hold a compact range of ids: when every node of the range is live
    // the ids need no look each.
    NodeId lo = ids[0], hi = ids[0];
    for (const NodeId id : ids) {
      lo = id < lo ? id : lo;
      hi = id > hi ? id : hi;
    }
    store::ReadGuard<Coords> guard = store::read(sub.coords_);
    if (std::size_t{hi} - lo >= ids.size() || !guard->all_alive(lo, hi))
      for (const NodeId id : ids) QUENLITH_VERIFY(guard->is_alive(id), "from_cells_taking: node {} is not alive", id);
  }
  sub.connectivity_ = std::move(ids);
  return sub;
}

SubMesh SubMesh::from_cells(ElementType type, Handle<Coords> coords, std::vector<NodeId> ids) {
  SubMesh sub(type, std::move(coords));
  const std::uint64_t k = sub.nodes_per_cell();
  QUENLITH_VERIFY(ids.size() % k == 0, "from_cells({}): {} node ids are not whole cells of {} nodes", type,
                  ids.size(), k);
  if (ids.empty()) return sub;
  // The cells are in place before any count changes (a failed allocation changes
  // none); on failure no count has changed and they are cleared, so the destructor
  // gives back nothing.
  sub.connectivity_ = std::move(ids);
  {
    store::WriteGuard<Coords> guard = store::write(sub.coords_);
    if (const std::size_t bad = guard->incref_all(sub.connectivity_); bad < sub.connectivity_.size()) {
      const NodeId id = sub.connectivity_[bad];
      sub.connectivity_.clear();
      throw Error::message("node {} not found or collected", id);
    }
  }
  return sub;
}

SubMesh SubMesh::poi1_from_nodes(std::span<const Node* const> nodes) {
  QUENLITH_VERIFY(!nodes.empty(), "SubMesh::poi1_from_nodes: nodes must not be empty");
  const Handle<Coords>& coords = nodes.front()->handle();
  std::vector<NodeId> ids;
  ids.reserve(nodes.size());
  for (const Node* n : nodes) {
    if (!(n->handle() == coords)) throw Error::message("mismatched Coords");
    ids.push_back(n->id());
  }
  return poi1_from_ids(Handle<Coords>(coords), ids);
}

Handle<SubMesh> SubMesh::node_cloud() const {
  if (Handle<SubMesh>* cached = caches_->cloud.load(std::memory_order_acquire)) return *cached;
  // Distinct ids by first appearance.
  std::vector<NodeId> ids;
  {
    std::unordered_set<NodeId> seen;
    for (NodeId id : connectivity_)
      if (seen.insert(id).second) ids.push_back(id);
  }
  SubMesh cloud = poi1_from_ids(coords_, ids);
  cloud.sealed_ = true;  // a node cloud is sealed from the moment it exists
  Handle<SubMesh> made = store::insert(std::move(cloud));
  if (!sealed_) return made;
  auto owned = std::make_unique<Handle<SubMesh>>(std::move(made));
  Handle<SubMesh>* expected = nullptr;
  if (caches_->cloud.compare_exchange_strong(expected, owned.get(), std::memory_order_acq_rel)) {
    owned.release();
    return *caches_->cloud.load(std::memory_order_acquire);
  }
  // Another reader filled it first: ours goes (with the cloud it alone holds).
  return *expected;
}

const NodeIndexMap& SubMesh::node_index_map() const {
  if (const NodeIndexMap* cached = caches_->index.load(std::memory_order_acquire)) return *cached;
  auto map = std::make_unique<NodeIndexMap>();
  for (NodeId id : connectivity_) map->try_emplace(id, map->size());
  const NodeIndexMap* expected = nullptr;
  if (caches_->index.compare_exchange_strong(expected, map.get(), std::memory_order_acq_rel)) return *map.release();
  return *expected;
}

Handle<SubMesh> SubMesh::seal(const Handle<SubMesh>& handle) {
  bool sealed;
  {
    store::ReadGuard<SubMesh> guard = store::read(handle);
    sealed = guard->sealed_;
  }
  if (!sealed) {
    store::WriteGuard<SubMesh> guard = store::write(handle);
    guard->sealed_ = true;
  }
  return handle;
}

std::uint64_t SubMesh::nodes_per_cell(const Handle<SubMesh>& handle) {
  store::ReadGuard<SubMesh> guard = store::read(handle);
  return guard->nodes_per_cell();
}

std::string SubMesh::display_text() const {
  return fmt::format("SubMesh<{}>: {} cell(s)", element_type_, cell_count());
}

std::string SubMesh::debug_text() const {
  return dump::DebugRecord("SubMesh")
      .field("element_type", name(element_type_))
      .field("coords", coords_.debug_text())
      .field("cell_count", std::to_string(cell_count()))
      .field("face_color", face_color_.debug_text())
      .field("sealed", dump::debug_flag(sealed_))
      .finish();
}

std::string SubMesh::dump_text(const dump::DumpOptions& options) const {
  const std::uint64_t k = nodes_per_cell();
  std::vector<std::string> header;
  header.reserve(k + 1);
  header.emplace_back("cell");
  for (std::uint64_t j = 0; j < k; ++j) header.push_back(fmt::format("n{}", j));
  const std::uint64_t n = cell_count();
  std::vector<dump::Row> rows;
  rows.reserve(n);
  for (std::uint64_t c = 0; c < n; ++c) {
    dump::Row row;
    row.reserve(k + 1);
    row.push_back(std::to_string(c));
    for (NodeId id : cell(c)) row.push_back(std::to_string(id));
    rows.push_back(std::move(row));
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

void SubMesh::encode(store::RecordWriter& w) const {
  w.write_variant(static_cast<std::uint32_t>(element_type_));
  w.write_handle(coords_);
  w.write_u32_list(connectivity_);
  w.write_u8(face_color_.r);
  w.write_u8(face_color_.g);
  w.write_u8(face_color_.b);
  w.write_bool(sealed_);
  // The record keeps no cloud handle: give its count back now rather than let it
  // be freed, unaccounted, together with the written-out object.
  if (caches_) delete caches_->cloud.exchange(nullptr, std::memory_order_acq_rel);
}

SubMesh SubMesh::decode(store::RecordReader& r) {
  const auto type = static_cast<ElementType>(r.read_variant(static_cast<std::uint32_t>(kElementTypeCount)));
  Handle<Coords> coords = r.read_handle<Coords>();
  SubMesh sub(type, std::move(coords));
  sub.connectivity_ = r.read_u32_list();
  sub.face_color_.r = r.read_u8();
  sub.face_color_.g = r.read_u8();
  sub.face_color_.b = r.read_u8();
  sub.sealed_ = r.read_bool();
  // Cells are read as whole runs of k ids: a partial cell is not a submesh.
  store::RecordReader::check(sub.connectivity_.size() % sub.nodes_per_cell() == 0,
                             "SubMesh record: connectivity length {} is not a multiple of {}",
                             sub.connectivity_.size(), sub.nodes_per_cell());
  return sub;
}

}  // namespace quenlith::containers::mesh
