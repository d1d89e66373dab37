// The Python classes Coords and Node.
//
// Every call converts its arguments first (so a refused argument changes nothing),
// holds its receiver shared, takes one guard at a time on the stored Coords, and
// builds its Python result only after that guard is released: freeing a Node
// takes a write guard on its Coords, and the interpreter may free one at any
// allocation.
#include "py/coords.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py/convert.hpp"
#include "py/dump_print.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/mesh.hpp"
#include "py/object.hpp"
#include "py/signature.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::py {

using containers::mesh::Coords;
using containers::mesh::Node;
using containers::mesh::NodeId;
using CoordsHandle = store::Handle<Coords>;

namespace {

struct CoordsPayload {
  CoordsHandle handle;
};
struct NodePayload {
  Node node;
};
using CoordsObject = Object<CoordsPayload>;
using NodeObject = Object<NodePayload>;

CoordsObject* as_coords(PyObject* self) { return object_cast<CoordsPayload>(self); }
NodeObject* as_node(PyObject* self) { return object_cast<NodePayload>(self); }

// Runs `f` on the Coords under a read guard and returns its (C++) result; the
// guard is gone when this returns.
template <class F>
auto with_read(const CoordsHandle& h, F&& f) {
  store::ReadGuard<Coords> guard = store::read(h);
  return f(*guard);
}
template <class F>
auto with_write(const CoordsHandle& h, F&& f) {
  store::WriteGuard<Coords> guard = store::write(h);
  return f(*guard);
}

// ---------------------------------------------------------------------------
// Coords

constexpr Param coords_new_params[] = {{"dim"}};
const Signature coords_new_sig{
    "__new__", "Coords", Receiver::Constructor, coords_new_params,
    "The registry of live nodes and their coordinates in a fixed spatial dimension; nodes are added with "
    "`add_node([x, y, ...])` and every mesh, node and field is attached to one."};

const Signature node_count_sig{"node_count", "Coords", Receiver::Self, {}, "Number of live nodes."};
const Signature capacity_sig{"capacity", "Coords", Receiver::Self, {},
                             "Number of allocated node slots (live plus not-yet-collected)."};
constexpr Param id_params[] = {{"id"}};
const Signature is_alive_sig{"is_alive", "Coords", Receiver::Self, id_params,
                             "Whether node `id` is still live (not garbage-collected).\n"
                             "\n"
                             "Takes a **raw id**, not a `Node`, on purpose: a `Node` holds a\n"
                             "refcount, so it could never be observed dead. This is the API for\n"
                             "inspecting nodes you may no longer hold (post-GC checks)."};
constexpr Param coords_params[] = {{"coords"}};
const Signature add_node_sig{"add_node", "Coords", Receiver::Self, coords_params,
                             "Add a node at `coords` and return it as a `Node` (refcount = 1)."};
const Signature acquire_sig{"acquire", "Coords", Receiver::Self, id_params,
                            "Return an additional `Node` for an existing id (refcount += 1)."};
const Signature refcount_sig{"refcount", "Coords", Receiver::Self, id_params,
                             "Reference count of node `id` (how many holders keep it alive).\n"
                             "\n"
                             "Takes a **raw id** (see [`Self::is_alive`]): observing a refcount of\n"
                             "0 is impossible while holding the `Node` that would carry it."};
const Signature gc_sig{"gc", "Coords", Receiver::Self, {},
                       "Run the garbage collector; return the number of collected nodes."};
constexpr Param name_params[] = {{"name"}};
const Signature add_config_sig{"add_config", "Coords", Receiver::Self, name_params,
                               "Add a named alternative configuration (same nodes, new coordinates);\n"
                               "returns its index."};
constexpr Param config_params[] = {{"config"}};
const Signature select_sig{"select", "Coords", Receiver::Self, config_params,
                           "Make configuration `config` the active one."};
const Signature names_sig{"names", "Coords", Receiver::Self, {}, "Names of the configurations, by index."};
const Signature permutation_sig{"permutation", "Coords", Receiver::Self, {},
                                "Current node permutation (a renumbering), or `None` if unset."};
constexpr Param perm_params[] = {{"perm"}};
const Signature set_permutation_sig{"set_permutation", "Coords", Receiver::Self, perm_params,
                                    "Set a node permutation (a renumbering of the nodes)."};
const Signature clear_permutation_sig{"clear_permutation", "Coords", Receiver::Self, {},
                                      "Drop any node permutation."};
const Signature coords_dump_sig{"dump", "Coords", Receiver::Self, dump_params, kDumpDocItem};

PyObject* coords_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const BoundArgs bound = match_tuple(coords_new_sig, args, kwargs);
    const std::uint8_t dim = arg(coords_new_sig, bound, 0, to_u8);
    return wrap_coords(store::insert(Coords(dim)));
  });
}

// The method bodies: each matches its signature, holds the receiver shared and
// works through the receiver's handle.
#define QUENLITH_COORDS_METHOD(fn, sig_name)                                                    \
  Ref fn(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {        \
    const BoundArgs bound = match(sig_name, args, nargsf, kwnames);                           \
    (void)bound;                                                                              \
    SharedHold hold(as_coords(self));                                                         \
    const CoordsHandle& h = as_coords(self)->payload.handle;                                   \
    return fn##_body(sig_name, bound, h);                                                     \
  }

Ref node_count_body(const Signature&, const BoundArgs&, const CoordsHandle& h) {
  return from_u64(with_read(h, [](const Coords& c) { return c.node_count(); }));
}
Ref capacity_body(const Signature&, const BoundArgs&, const CoordsHandle& h) {
  return from_u64(with_read(h, [](const Coords& c) { return c.capacity(); }));
}
Ref is_alive_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  const NodeId id = arg(sig, bound, 0, to_u32);
  return from_bool(with_read(h, [&](const Coords& c) { return c.is_alive(id); }));
}
Ref add_node_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  const std::vector<double> xyz = arg(sig, bound, 0, to_f64_list);
  return wrap_node(Node::create(CoordsHandle(h), xyz));
}
Ref acquire_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  const NodeId id = arg(sig, bound, 0, to_u32);
  return wrap_node(Node::acquire(CoordsHandle(h), id));
}
Ref refcount_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  const NodeId id = arg(sig, bound, 0, to_u32);
  return from_u64(with_read(h, [&](const Coords& c) { return c.refcount(id); }));
}
Ref gc_body(const Signature&, const BoundArgs&, const CoordsHandle& h) {
  return from_u64(with_write(h, [](Coords& c) { return c.gc(); }));
}
Ref add_config_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  std::string name = arg(sig, bound, 0, to_str);
  return from_u64(with_write(h, [&](Coords& c) { return c.add_config(std::move(name)); }));
}
Ref select_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  const std::uint64_t index = arg(sig, bound, 0, to_u64);
  with_write(h, [&](Coords& c) { c.select(index); });
  return Ref::borrow(Py_None);
}
Ref names_body(const Signature&, const BoundArgs&, const CoordsHandle& h) {
  return list_from(with_read(h, [](const Coords& c) { return c.names(); }));
}
Ref permutation_body(const Signature&, const BoundArgs&, const CoordsHandle& h) {
  const std::optional<std::vector<std::uint32_t>> perm = with_read(h, [](const Coords& c) { return c.permutation(); });
  if (!perm) return Ref::borrow(Py_None);
  return list_from(*perm);
}
Ref set_permutation_body(const Signature& sig, const BoundArgs& bound, const CoordsHandle& h) {
  std::vector<std::uint32_t> perm = arg(sig, bound, 0, [](PyObject* o) { return to_list(o, to_u32); });
  with_write(h, [&](Coords& c) { c.set_permutation(std::move(perm)); });
  return Ref::borrow(Py_None);
}
Ref clear_permutation_body(const Signature&, const BoundArgs&, const CoordsHandle& h) {
  with_write(h, [](Coords& c) { c.clear_permutation(); });
  return Ref::borrow(Py_None);
}

QUENLITH_COORDS_METHOD(node_count, node_count_sig)
QUENLITH_COORDS_METHOD(capacity, capacity_sig)
QUENLITH_COORDS_METHOD(is_alive, is_alive_sig)
QUENLITH_COORDS_METHOD(add_node, add_node_sig)
QUENLITH_COORDS_METHOD(acquire, acquire_sig)
QUENLITH_COORDS_METHOD(refcount, refcount_sig)
QUENLITH_COORDS_METHOD(gc, gc_sig)
QUENLITH_COORDS_METHOD(add_config, add_config_sig)
QUENLITH_COORDS_METHOD(select, select_sig)
QUENLITH_COORDS_METHOD(names, names_sig)
QUENLITH_COORDS_METHOD(permutation, permutation_sig)
QUENLITH_COORDS_METHOD(set_permutation, set_permutation_sig)
QUENLITH_COORDS_METHOD(clear_permutation, clear_permutation_sig)
#undef QUENLITH_COORDS_METHOD

Ref coords_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const dump::DumpOptions options = dump_options(coords_dump_sig, args, nargsf, kwnames);
  SharedHold hold(as_coords(self));
  const std::string text =
      with_read(as_coords(self)->payload.handle, [&](const Coords& c) { return c.dump_text(options); });
  dump_print(text);
  return Ref::borrow(Py_None);
}

PyObject* coords_str(PyObject* self) noexcept {
  return guarded([&] {
    SharedHold hold(as_coords(self));
    return from_str(with_read(as_coords(self)->payload.handle, [](const Coords& c) { return c.display_text(); }));
  });
}

PyObject* coords_repr(PyObject* self) noexcept {
  return guarded([&] {
    SharedHold hold(as_coords(self));
    return from_str(with_read(as_coords(self)->payload.handle, [](const Coords& c) { return c.debug_text(); }));
  });
}

PyObject* coords_get_dim(PyObject* self, void*) noexcept {
  return guarded([&] {
    SharedHold hold(as_coords(self));
    return from_u64(with_read(as_coords(self)->payload.handle, [](const Coords& c) { return c.dim(); }));
  });
}

PyObject* coords_get_active(PyObject* self, void*) noexcept {
  return guarded([&] {
    SharedHold hold(as_coords(self));
    return from_u64(with_read(as_coords(self)->payload.handle, [](const Coords& c) { return c.active(); }));
  });
}

PyMethodDef coords_methods[] = {
    method_def<node_count>("node_count", node_count_sig.doc()),
    method_def<capacity>("capacity", capacity_sig.doc()),
    method_def<is_alive>("is_alive", is_alive_sig.doc()),
    method_def<add_node>("add_node", add_node_sig.doc()),
    method_def<acquire>("acquire", acquire_sig.doc()),
    method_def<refcount>("refcount", refcount_sig.doc()),
    method_def<gc>("gc", gc_sig.doc()),
    method_def<add_config>("add_config", add_config_sig.doc()),
    method_def<select>("select", select_sig.doc()),
    method_def<names>("names", names_sig.doc()),
    method_def<permutation>("permutation", permutation_sig.doc()),
    method_def<set_permutation>("set_permutation", set_permutation_sig.doc()),
    method_def<clear_permutation>("clear_permutation", clear_permutation_sig.doc()),
    method_def<coords_dump>("dump", coords_dump_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coords_getset[] = {
    {"dim", coords_get_dim, nullptr, "Spatial dimension of the coordinates (1, 2 or 3).", nullptr},
    {"active", coords_get_active, nullptr, "Index of the active configuration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeDef coords_type_def() {
  return {"_quenlith.Coords",
          static_cast<int>(sizeof(CoordsObject)),
          coords_new_sig.doc(),
          true,
          {
              {Py_tp_new, reinterpret_cast<void*>(&coords_new)},
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<CoordsPayload>)},
              {Py_tp_methods, coords_methods},
              {Py_tp_getset, coords_getset},
              {Py_tp_str, reinterpret_cast<void*>(&coords_str)},
              {Py_tp_repr, reinterpret_cast<void*>(&coords_repr)},
          }};
}

// ---------------------------------------------------------------------------
// Node

const Signature node_doc_sig{
    "Node", nullptr, Receiver::None, {},
    "A node of a `Coords`: a stable identifier that carries its `Coords`, created by `Coords.add_node` and "
    "passed wherever a node is needed."};
const Signature coord_sig{"coord", "Node", Receiver::Self, {}, "This node's coordinates in the active coordinate set."};
const Signature set_coord_sig{"set_coord", "Node", Receiver::Self, coords_params, "Overwrite this node's coordinates."};
const Signature node_dump_sig{"dump", "Node", Receiver::Self, dump_params, kDumpDocItem};

Ref node_coord(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  (void)match(coord_sig, args, nargsf, kwnames);
  SharedHold hold(as_node(self));
  return list_from(as_node(self)->payload.node.coord());
}

Ref node_set_coord(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(set_coord_sig, args, nargsf, kwnames);
  const std::vector<double> xyz = arg(set_coord_sig, bound, 0, to_f64_list);
  SharedHold hold(as_node(self));
  const Node& node = as_node(self)->payload.node;
  with_write(node.handle(), [&](Coords& c) { c.set_coord(node.id(), xyz); });
  return Ref::borrow(Py_None);
}

Ref node_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const dump::DumpOptions options = dump_options(node_dump_sig, args, nargsf, kwnames);
  SharedHold hold(as_node(self));
  const std::string text = as_node(self)->payload.node.dump_text(options);
  dump_print(text);
  return Ref::borrow(Py_None);
}

PyObject* node_str(PyObject* self) noexcept {
  return guarded([&] {
    SharedHold hold(as_node(self));
    return from_str(as_node(self)->payload.node.display_text());
  });
}

PyObject* node_repr(PyObject* self) noexcept {
  return guarded([&] {
    SharedHold hold(as_node(self));
    return from_str(as_node(self)->payload.node.debug_text());
  });
}

PyObject* node_get_id(PyObject* self, void*) noexcept {
  return guarded([&] {
    SharedHold hold(as_node(self));
    return from_u64(as_node(self)->payload.node.id());
  });
}

PyMethodDef node_methods[] = {
    method_def<node_coord>("coord", coord_sig.doc()),
    method_def<node_set_coord>("set_coord", set_coord_sig.doc()),
    method_def<node_dump>("dump", node_dump_sig.doc()),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef node_getset[] = {
    {"id", node_get_id, nullptr, "Stable integer id of this node within its `Coords`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

TypeDef node_type_def() {
  return {"_quenlith.Node",
          static_cast<int>(sizeof(NodeObject)),
          node_doc_sig.description,
          false,
          {
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<NodePayload>)},
              {Py_tp_methods, node_methods},
              {Py_tp_getset, node_getset},
              {Py_tp_str, reinterpret_cast<void*>(&node_str)},
              {Py_tp_repr, reinterpret_cast<void*>(&node_repr)},
              // `node | node` and `mesh | node` make meshes (py/mesh.cpp).
              {Py_nb_or, reinterpret_cast<void*>(&node_or)},
          }};
}

}  // namespace

TypeCache coords_type{&coords_type_def};
TypeCache node_type{&node_type_def};

Ref wrap_coords(CoordsHandle handle) { return wrap<CoordsPayload>(coords_type, CoordsPayload{std::move(handle)}); }

Ref wrap_node(Node node) { return wrap<NodePayload>(node_type, NodePayload{std::move(node)}); }

const CoordsHandle& coords_handle(PyObject* obj) {
  return instance<CoordsPayload>(obj, coords_type, "Coords")->payload.handle;
}

const Node& node_value(PyObject* obj) { return instance<NodePayload>(obj, node_type, "Node")->payload.node; }

bool is_node(PyObject* obj) { return instance_or_null<NodePayload>(obj, node_type) != nullptr; }

}  // namespace quenlith::py
