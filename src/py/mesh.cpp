// The Python classes Mesh, SubMesh and Cell, and the `|` of Node.
//
// Every entry converts its arguments, holds its receiver (and the objects it is
// given) shared, takes guards through the core operations, and builds its Python
// results only once every guard is released: freeing a Node takes a write guard on
// its Coords, and the interpreter may free one at any allocation.
#include "py/mesh.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "containers/mesh/node.hpp"
#include "dump/number_format.hpp"
#include "py/container.hpp"
#include "py/convert.hpp"
#include "py/coords.hpp"
#include "py/dump_print.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/object.hpp"
#include "py/signature.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::py {

using containers::mesh::Cell;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;
using containers::mesh::NodeId;
using containers::mesh::RgbColor;
using containers::mesh::SubMesh;
using SubMeshHandle = store::Handle<SubMesh>;

namespace {

struct CellPayload {
  Cell cell;
};

TypeDef mesh_type_def();
TypeDef submesh_type_def();
TypeDef cell_type_def();

struct MeshProtocol {
  using Sub = SubMesh;
  using Value = Mesh;
  static constexpr const char* kName = "Mesh";
  static constexpr const char* kSubName = "SubMesh";
  static constexpr const char* kItems = "submesh(es)";
  static TypeCache& type() { return mesh_type; }
  static TypeCache& sub_type() { return submesh_type; }
  static std::span<const SubMeshHandle> items(const Mesh& m) noexcept { return m.subs(); }
  static Mesh slice(const Mesh& m, std::span<const std::uint64_t> indices) { return m.slice(indices); }
  static Mesh union_(const Mesh& a, const Mesh& b) { return Mesh::union_(a, b); }
  static Mesh union_sub(const Mesh& a, const SubMeshHandle& h) { return a.union_sub(h); }
  static Mesh sub_union(const SubMeshHandle& a, const SubMeshHandle& b) { return SubMesh::union_(a, b); }
  static void push_sub(Mesh& m, SubMeshHandle h) { m.push_sub(std::move(h)); }
  static std::string display_text(const Mesh& m) { return m.display_text(); }
  static std::string debug_text(const Mesh& m) { return m.debug_text(); }
  static std::string dump_text(const Mesh& m, const dump::DumpOptions& o) { return m.dump_text(o); }
};
using MeshContainer = Container<MeshProtocol>;
using MeshObject = Object<Mesh>;
using SubMeshObject = Object<SubPayload<SubMesh>>;
using CellObject = Object<CellPayload>;

MeshObject* as_mesh(PyObject* self) { return object_cast<Mesh>(self); }
SubMeshObject* as_submesh(PyObject* self) { return object_cast<SubPayload<SubMesh>>(self); }
CellObject* as_cell(PyObject* self) { return object_cast<CellPayload>(self); }
ObjectBase* base_of(PyObject* obj) { return reinterpret_cast<ObjectBase*>(obj); }

// Shared holds on a run of objects (the Nodes of a call), given back together.
// Room for the nodes of the largest cell sits inline, so a well-formed add_cell
// allocates nothing for its holds; longer (refused) lists spill to the heap.
class SharedHolds {
 public:
  explicit SharedHolds(std::size_t n) {
    if (n > kInline) spill_.resize(n);
    held_ = n > kInline ? spill_.data() : inline_;
  }
  SharedHolds(const SharedHolds&) = delete;
  SharedHolds& operator=(const SharedHolds&) = delete;
  ~SharedHolds() {
    for (std::size_t i = 0; i < count_; ++i) held_[i]->hold.release_shared();
  }
  void add(ObjectBase* o) {
    o->hold.acquire_shared();
    held_[count_++] = o;
  }

 private:
  static constexpr std::size_t kInline = 27;  // nodes of a HEX27 cell
  ObjectBase* inline_[kInline];
  std::vector<ObjectBase*> spill_;
  ObjectBase** held_;
  std::size_t count_ = 0;
};

// A subscript index of SubMesh and Cell: a signed 64-bit integer, converted like
// the argument `idx`.
std::int64_t idx_argument(PyObject* key) {
  try {
    return to_i64(key);
  } catch (const ErrorAlreadySet&) {
    rethrow_as_argument_error("idx");
  }
}

// ---------------------------------------------------------------------------
// Mesh

constexpr Param mesh_new_params[] = {{"coords"}, {"element_type", "None"}};
const Signature mesh_new_sig{"__new__", "Mesh", Receiver::Constructor, mesh_new_params,
                             "A collection of submeshes, each holding the cells of one element type; the constructor "
                             "makes one zone, `|` composes meshes, and indexing reaches a `SubMesh`."};
const Signature element_types_sig{"element_types", "Mesh", Receiver::Self, {},
                                  "Element type name of each submesh, in order."};
const Signature cell_counts_sig{"cell_counts", "Mesh", Receiver::Self, {}, "Number of cells in each submesh, in order."};
const Signature mesh_duplicate_sig{
    "duplicate", "Mesh", Receiver::Self, {},
    "Deep-copy the whole mesh into fresh, **unsealed** submeshes with the\n"
    "same connectivity — editable again even if the source was sealed by\n"
    "consumers. Nodes are shared (same `Coords`)."};
constexpr Param node_params[] = {{"submesh_idx"}, {"cell_idx"}, {"node_idx"}};
const Signature mesh_node_sig{"node", "Mesh", Receiver::Self, node_params,
                              "The `node_idx`-th node of cell `cell_idx` in submesh `submesh_idx`."};
constexpr Param point_params[] = {{"point"}};
const Signature nearest_node_sig{
    "nearest_node", "Mesh", Receiver::Self, point_params,
    "The mesh node closest (Euclidean distance) to `point`.\n"
    "\n"
    "`point` must have the mesh coordinate dimension. Only nodes referenced\n"
    "by a cell are considered; ties break to the smaller node id."};
constexpr Param cell_params[] = {{"submesh_idx"}, {"cell_idx"}};
const Signature mesh_cell_sig{"cell", "Mesh", Receiver::Self, cell_params,
                              "`mesh.cell(submesh_idx, cell_idx)` → `Cell` view; same thing\n"
                              "as `mesh[submesh_idx][cell_idx]`."};
const Signature mesh_cell_count_sig{"cell_count", "Mesh", Receiver::Self, {},
                                    "Total number of cells across all submeshes."};
const Signature mesh_coords_sig{
    "coords", "Mesh", Receiver::Self, {},
    "The `Coords` this mesh hangs off (all submeshes share it).\n"
    "\n"
    "A safety net to get the handle back when it has been dropped on the\n"
    "Python side — e.g. after `read_gmsh(coords, …)` if `coords` went out\n"
    "of scope. Raises if the mesh has no submesh yet (no `Coords` to take)."};

PyObject* mesh_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const BoundArgs bound = match_tuple(mesh_new_sig, args, kwargs);
    PyObject* coords_obj = bound[0];
    store::Handle<Coords> coords;
    {
      const store::Handle<Coords>& h = arg(mesh_new_sig, bound, 0, coords_handle);
      SharedHold hold(base_of(coords_obj));
      coords = h;
    }
    Mesh mesh;
    if (bound.has(1)) {
      const std::string name = arg(mesh_new_sig, bound, 1, to_str);
      const auto type = containers::mesh::element_type_from_name(name);
      if (!type) raise_value_error(fmt::format("unknown element type: {}", name));
      mesh = Mesh::from_submesh(SubMesh(*type, std::move(coords)));
    }
    return wrap_mesh(std::move(mesh));
  });
}

// Runs `body(mesh)` with the receiver held shared; the result (a C++ value) is
// returned once the hold is given back.
template <class F>
auto with_mesh(PyObject* self, F&& body) {
  MeshObject* o = as_mesh(self);
  SharedHold hold(o);
  return body(static_cast<const Mesh&>(o->payload));
}

Ref mesh_element_types(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(element_types_sig, args, nargsf, kwnames);
  const auto types = with_mesh(self, [](const Mesh& m) { return m.element_types(); });
  return list_from(types, [](ElementType t) { return from_str(containers::mesh::name(t)); });
}

Ref mesh_cell_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(cell_counts_sig, args, nargsf, kwnames);
  const auto counts = with_mesh(self, [](const Mesh& m) { return m.cell_counts(); });
  return list_from(counts);
}

Ref mesh_duplicate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(mesh_duplicate_sig, args, nargsf, kwnames);
  return wrap_mesh(with_mesh(self, [](const Mesh& m) { return m.duplicate(); }));
}

Ref mesh_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(mesh_node_sig, args, nargsf, kwnames);
  const std::uint64_t s = arg(mesh_node_sig, bound, 0, to_u64);
  const std::uint64_t c = arg(mesh_node_sig, bound, 1, to_u64);
  const std::uint64_t j = arg(mesh_node_sig, bound, 2, to_u64);
  return wrap_node(with_mesh(self, [&](const Mesh& m) { return m.node(s, c, j); }));
}

Ref mesh_nearest_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(nearest_node_sig, args, nargsf, kwnames);
  const std::vector<double> point = arg(nearest_node_sig, bound, 0, to_f64_list);
  return wrap_node(with_mesh(self, [&](const Mesh& m) { return m.nearest_node(point); }));
}

Ref mesh_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(mesh_cell_sig, args, nargsf, kwnames);
  const std::uint64_t s = arg(mesh_cell_sig, bound, 0, to_u64);
  const std::uint64_t c = arg(mesh_cell_sig, bound, 1, to_u64);
  return wrap_cell(with_mesh(self, [&](const Mesh& m) { return Cell(m.sub_at(s), c); }));
}

Ref mesh_cell_count(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(mesh_cell_count_sig, args, nargsf, kwnames);
  return from_u64(with_mesh(self, [](const Mesh& m) { return m.cell_count(); }));
}

Ref mesh_coords(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(mesh_coords_sig, args, nargsf, kwnames);
  return wrap_coords(with_mesh(self, [](const Mesh& m) { return m.coords(); }));
}

const PyMethodDef mesh_own_methods[] = {
    method_def<mesh_element_types>("element_types", element_types_sig.doc()),
    method_def<mesh_cell_counts>("cell_counts", cell_counts_sig.doc()),
    method_def<mesh_duplicate>("duplicate", mesh_duplicate_sig.doc()),
    method_def<mesh_node>("node", mesh_node_sig.doc()),
    method_def<mesh_nearest_node>("nearest_node", nearest_node_sig.doc()),
    method_def<mesh_cell>("cell", mesh_cell_sig.doc()),
    method_def<mesh_cell_count>("cell_count", mesh_cell_count_sig.doc()),
    method_def<mesh_coords>("coords", mesh_coords_sig.doc()),
};

TypeDef mesh_type_def() {
  std::vector<PyType_Slot> slots = MeshContainer::slots();
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(&mesh_new)});
  slots.push_back({Py_tp_methods, MeshContainer::methods(mesh_own_methods)});
  return {"_quenlith.Mesh", static_cast<int>(sizeof(MeshObject)), mesh_new_sig.doc(), true, std::move(slots)};
}

// ---------------------------------------------------------------------------
// SubMesh

const Signature submesh_doc_sig{
    "SubMesh", nullptr, Receiver::None, {},
    "A view of one submesh of a `Mesh` (the cells of one element type), obtained by indexing the mesh."};
constexpr Param nodes_params[] = {{"nodes"}};
const Signature add_cell_sig{"add_cell", "SubMesh", Receiver::Self, nodes_params,
                             "Append a cell from its list of nodes; returns the new cell's index."};
const Signature submesh_cell_count_sig{"cell_count", "SubMesh", Receiver::Self, {}, "Number of cells in this submesh."};
const Signature submesh_duplicate_sig{
    "duplicate", "SubMesh", Receiver::Self, {},
    "Deep-copy into a fresh, **unsealed** SubMesh with the same\n"
    "connectivity — the way to keep editing after this one has been sealed."};
const Signature submesh_dump_sig{"dump", "SubMesh", Receiver::Self, dump_params, kDumpDocItem};

// Runs `body(submesh)` under a read guard, with the receiver held shared.
template <class F>
auto with_submesh(PyObject* self, F&& body) {
  SubMeshObject* o = as_submesh(self);
  SharedHold hold(o);
  store::ReadGuard<SubMesh> guard = store::read(o->payload.handle);
  return body(*guard);
}

Ref submesh_add_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(add_cell_sig, args, nargsf, kwnames);
  // The fast sequence keeps its items alive for the call, whatever the argument is.
  Ref items = arg(add_cell_sig, bound, 0, detail::sequence_items);
  const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
  PyObject** objects = PySequence_Fast_ITEMS(items.get());
  // Every item is converted (and a non-Node refused) before the core sees the count.
  constexpr std::size_t kInline = 27;  // nodes of a HEX27 cell
  const Node* inline_nodes[kInline];
  std::vector<const Node*> spill(n > kInline ? n : 0);
  const Node** nodes = n > kInline ? spill.data() : inline_nodes;
  for (std::size_t i = 0; i < n; ++i)
    nodes[i] = &arg(add_cell_sig, bound, 0, [&](PyObject*) -> const Node& { return node_value(objects[i]); });
  SharedHolds node_holds(n);
  for (std::size_t i = 0; i < n; ++i) node_holds.add(base_of(objects[i]));
  SubMeshObject* o = as_submesh(self);
  SharedHold hold(o);
  std::uint64_t index;
  {
    store::WriteGuard<SubMesh> guard = store::write(o->payload.handle);
    index = guard->add_cell(std::span<const Node* const>(nodes, n));
  }
  return from_u64(index);
}

Ref submesh_cell_count(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(submesh_cell_count_sig, args, nargsf, kwnames);
  return from_u64(with_submesh(self, [](const SubMesh& m) { return m.cell_count(); }));
}

Ref submesh_duplicate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(submesh_duplicate_sig, args, nargsf, kwnames);
  std::optional<SubMesh> copy;
  {
    SubMeshObject* o = as_submesh(self);
    SharedHold hold(o);
    store::ReadGuard<SubMesh> guard = store::read(o->payload.handle);
    copy.emplace(guard->duplicate());
  }
  return wrap_submesh(store::insert(std::move(*copy)));
}

Ref submesh_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const dump::DumpOptions options = dump_options(submesh_dump_sig, args, nargsf, kwnames);
  const std::string text = with_submesh(self, [&](const SubMesh& m) { return m.dump_text(options); });
  dump_print(text);
  return Ref::borrow(Py_None);
}

Py_ssize_t submesh_length(PyObject* self) noexcept {
  Py_ssize_t n = -1;
  guarded_status([&] {
    n = static_cast<Py_ssize_t>(with_submesh(self, [](const SubMesh& m) { return m.cell_count(); }));
  });
  return n;
}

Ref submesh_item(PyObject* self, std::int64_t idx) {
  SubMeshObject* o = as_submesh(self);
  std::optional<Cell> cell;
  {
    SharedHold hold(o);
    std::uint64_t n;
    {
      store::ReadGuard<SubMesh> guard = store::read(o->payload.handle);
      n = guard->cell_count();
    }
    cell.emplace(o->payload.handle, checked_position(idx, n, "submesh"));
  }
  return wrap_cell(std::move(*cell));
}

PyObject* submesh_subscript(PyObject* self, PyObject* key) noexcept {
  return guarded([&] { return submesh_item(self, idx_argument(key)); });
}

PyObject* submesh_sq_item(PyObject* self, Py_ssize_t i) noexcept {
  return guarded([&] { return submesh_item(self, i); });
}

PyObject* submesh_str(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_submesh(self, [](const SubMesh& m) { return m.display_text(); })); });
}

PyObject* submesh_repr(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_submesh(self, [](const SubMesh& m) { return m.debug_text(); })); });
}

PyObject* submesh_get_element_type(PyObject* self, void*) noexcept {
  return guarded([&] {
    return from_str(with_submesh(self, [](const SubMesh& m) { return containers::mesh::name(m.element_type()); }));
  });
}

PyObject* submesh_get_is_sealed(PyObject* self, void*) noexcept {
  return guarded([&] { return from_bool(with_submesh(self, [](const SubMesh& m) { return m.is_sealed(); })); });
}

PyObject* submesh_get_face_color(PyObject* self, void*) noexcept {
  return guarded([&] {
    const RgbColor c = with_submesh(self, [](const SubMesh& m) { return m.face_color(); });
    Ref out = Ref::steal(PyTuple_New(3));
    PyTuple_SET_ITEM(out.get(), 0, from_u64(c.r).release());  // steals
    PyTuple_SET_ITEM(out.get(), 1, from_u64(c.g).release());  // steals
    PyTuple_SET_ITEM(out.get(), 2, from_u64(c.b).release());  // steals
    return out;
  });
}

int submesh_set_face_color(PyObject* self, PyObject* value, void*) noexcept {
  return guarded_status([&] {
    if (!value) raise(PyExc_AttributeError, "property has no deleter");
    RgbColor color;
    try {
      Ref tuple = to_tuple_n(value, 3);
      color.r = to_u8(PyTuple_GET_ITEM(tuple.get(), 0));
      color.g = to_u8(PyTuple_GET_ITEM(tuple.get(), 1));
      color.b = to_u8(PyTuple_GET_ITEM(tuple.get(), 2));
    } catch (const ErrorAlreadySet&) {
      rethrow_as_argument_error("rgb");
    }
    SubMeshObject* o = as_submesh(self);
    SharedHold hold(o);
    store::WriteGuard<SubMesh> guard = store::write(o->payload.handle);
    guard->set_face_color(color);
  });
}

PyMethodDef submesh_methods[] = {
    method_def<submesh_add_cell>("add_cell", add_cell_sig.doc()),
    method_def<submesh_cell_count>("cell_count", submesh_cell_count_sig.doc()),
    method_def<submesh_duplicate>("duplicate", submesh_duplicate_sig.doc()),
    method_def<submesh_dump>("dump", submesh_dump_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef submesh_getset[] = {
    {"element_type", submesh_get_element_type, nullptr, "Element type name of this submesh (e.g. `\"TRI3\"`).",
     nullptr},
    {"is_sealed", submesh_get_is_sealed, nullptr,
     "Whether this submesh is sealed: `True` once it is used by a\n"
     "finite-element space, field or matrix, after which `add_cell` fails.",
     nullptr},
    {"face_color", submesh_get_face_color, submesh_set_face_color,
     "Face colour as an `(r, g, b)` tuple of bytes.\n\nSet the face colour from an `(r, g, b)` tuple of bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeDef submesh_type_def() {
  return {"_quenlith.SubMesh",
          static_cast<int>(sizeof(SubMeshObject)),
          submesh_doc_sig.description,
          false,
          {
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<SubPayload<SubMesh>>)},
              {Py_tp_methods, submesh_methods},
              {Py_tp_getset, submesh_getset},
              {Py_mp_length, reinterpret_cast<void*>(&submesh_length)},
              {Py_sq_length, reinterpret_cast<void*>(&submesh_length)},
              {Py_mp_subscript, reinterpret_cast<void*>(&submesh_subscript)},
              {Py_sq_item, reinterpret_cast<void*>(&submesh_sq_item)},
              {Py_nb_or, reinterpret_cast<void*>(&MeshContainer::sub_or_)},
              {Py_tp_str, reinterpret_cast<void*>(&submesh_str)},
              {Py_tp_repr, reinterpret_cast<void*>(&submesh_repr)},
          }};
}

// ---------------------------------------------------------------------------
// Cell

const Signature cell_doc_sig{
    "Cell", nullptr, Receiver::None, {},
    "A read-only view of one cell (the ordered nodes of one element), from `submesh[i]` or "
    "`mesh.cell(submesh, cell)`; its length is its node count and iterating it yields its `Node`s."};
const Signature cell_nodes_sig{"nodes", "Cell", Receiver::Self, {},
                               "Materialised nodes (each one refcounted on the\nCoords)."};
const Signature cell_dump_sig{"dump", "Cell", Receiver::Self, dump_params, kDumpDocItem};

template <class F>
auto with_cell(PyObject* self, F&& body) {
  CellObject* o = as_cell(self);
  SharedHold hold(o);
  return body(static_cast<const Cell&>(o->payload.cell));
}

Ref cell_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(cell_nodes_sig, args, nargsf, kwnames);
  std::vector<Node> nodes = with_cell(self, [](const Cell& c) { return c.nodes(); });
  return list_from(nodes, [](Node& n) { return wrap_node(std::move(n)); });
}

Ref cell_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const dump::DumpOptions options = dump_options(cell_dump_sig, args, nargsf, kwnames);
  // The table formats coordinates: refuse a precision the formatter cannot honour
  // rather than print it as the cell's error.
  dump::check_dump_precision(options.precision);
  const std::string text = with_cell(self, [&](const Cell& c) { return c.dump_text(options); });
  dump_print(text);
  return Ref::borrow(Py_None);
}

Py_ssize_t cell_length(PyObject* self) noexcept {
  Py_ssize_t n = -1;
  guarded_status([&] {
    n = static_cast<Py_ssize_t>(with_cell(self, [](const Cell& c) { return SubMesh::nodes_per_cell(c.submesh()); }));
  });
  return n;
}

Ref cell_item(PyObject* self, std::int64_t idx) {
  store::Handle<Coords> coords;
  NodeId ids[containers::mesh::kMaxNodesPerCell];
  std::size_t k = 0;
  with_cell(self, [&](const Cell& c) {
    store::ReadGuard<SubMesh> guard = store::read(c.submesh());
    const auto cell = guard->cell(c.index());
    k = std::min(cell.size(), std::size(ids));
    std::copy_n(cell.begin(), k, ids);
    coords = guard->coords();
    return 0;
  });
  // Checked once the guard is gone: raising makes a Python object.
  const NodeId id = ids[checked_position(idx, k, "cell")];
  return wrap_node(Node::acquire(std::move(coords), id));
}

PyObject* cell_subscript(PyObject* self, PyObject* key) noexcept {
  return guarded([&] { return cell_item(self, idx_argument(key)); });
}

PyObject* cell_sq_item(PyObject* self, Py_ssize_t i) noexcept {
  return guarded([&] { return cell_item(self, i); });
}

PyObject* cell_str(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_cell(self, [](const Cell& c) { return c.display_text(); })); });
}

PyObject* cell_repr(PyObject* self) noexcept {
  return guarded([&] { return from_str(with_cell(self, [](const Cell& c) { return c.debug_text(); })); });
}

PyObject* cell_get_index(PyObject* self, void*) noexcept {
  return guarded([&] { return from_u64(with_cell(self, [](const Cell& c) { return c.index(); })); });
}

PyObject* cell_get_element_type(PyObject* self, void*) noexcept {
  return guarded([&] {
    return from_str(with_cell(self, [](const Cell& c) {
      store::ReadGuard<SubMesh> guard = store::read(c.submesh());
      return containers::mesh::name(guard->element_type());
    }));
  });
}

PyMethodDef cell_methods[] = {
    method_def<cell_nodes>("nodes", cell_nodes_sig.doc()),
    method_def<cell_dump>("dump", cell_dump_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cell_getset[] = {
    {"index", cell_get_index, nullptr, "Index of this cell within its submesh.", nullptr},
    {"element_type", cell_get_element_type, nullptr, "Element type name of this cell (e.g. `\"TRI3\"`).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeDef cell_type_def() {
  return {"_quenlith.Cell",
          static_cast<int>(sizeof(CellObject)),
          cell_doc_sig.description,
          false,
          {
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<CellPayload>)},
              {Py_tp_methods, cell_methods},
              {Py_tp_getset, cell_getset},
              {Py_mp_length, reinterpret_cast<void*>(&cell_length)},
              {Py_sq_length, reinterpret_cast<void*>(&cell_length)},
              {Py_mp_subscript, reinterpret_cast<void*>(&cell_subscript)},
              {Py_sq_item, reinterpret_cast<void*>(&cell_sq_item)},
              {Py_tp_str, reinterpret_cast<void*>(&cell_str)},
              {Py_tp_repr, reinterpret_cast<void*>(&cell_repr)},
          }};
}

}  // namespace

TypeCache mesh_type{&mesh_type_def};
TypeCache submesh_type{&submesh_type_def};
TypeCache cell_type{&cell_type_def};

Ref wrap_mesh(Mesh mesh) { return MeshContainer::wrap_value(std::move(mesh)); }
Ref wrap_submesh(SubMeshHandle handle) { return MeshContainer::wrap_sub(std::move(handle)); }
Ref wrap_cell(Cell cell) { return wrap<CellPayload>(cell_type, CellPayload{std::move(cell)}); }

const Mesh& mesh_value(PyObject* obj) { return instance<Mesh>(obj, mesh_type, "Mesh")->payload; }

const SubMeshHandle& submesh_handle(PyObject* obj) {
  return instance<SubPayload<SubMesh>>(obj, submesh_type, "SubMesh")->payload.handle;
}

SubMeshHandle submesh_extract_or_unit(PyObject* obj) { return MeshContainer::extract_or_unit(obj); }

PyObject* node_or(PyObject* a, PyObject* b) noexcept {
  return guarded([&]() -> Ref {
    Mesh result;
    if (is_node(a) && is_node(b)) {
      SharedHold hold_a(base_of(a));
      SharedHold hold_b(base_of(b));
      const Node* nodes[] = {&node_value(a), &node_value(b)};
      result = Mesh::from_submesh(SubMesh::poi1_from_nodes(nodes));
    } else if (is_node(b) && MeshContainer::container_or_null(a)) {
      SharedHold hold_a(base_of(a));
      SharedHold hold_b(base_of(b));
      result = as_mesh(a)->payload.or_node(node_value(b));
    } else {
      return Ref::borrow(Py_NotImplemented);
    }
    return wrap_mesh(std::move(result));
  });
}

}  // namespace quenlith::py
