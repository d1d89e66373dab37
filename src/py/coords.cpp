// The Python class Coords: one handle on a stored node registry.
//
// Freeing a Python Node gives its reference back under a write guard on its
// Coords, so no Python object may be made or freed while a guard on a Coords is
// held: the bodies below return plain values, made into Python objects by the kit
// once their guard is gone.
#include <cstdint>
#include <string>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/node.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Coords;
using containers::mesh::Node;
using containers::mesh::NodeId;
using CoordsHandle = store::Handle<Coords>;

namespace {

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
const Signature dim_sig{"dim", "Coords", Receiver::Self, {}, "Spatial dimension of the coordinates (1, 2 or 3)."};
const Signature active_sig{"active", "Coords", Receiver::Self, {}, "Index of the active configuration."};

CoordsHandle make_coords(std::uint8_t dim) { return store::insert(Coords(dim)); }

Node add_node(const CoordsHandle& h, const std::vector<double>& xyz) { return Node::create(h, xyz); }
Node acquire(const CoordsHandle& h, NodeId id) { return Node::acquire(h, id); }
std::uint64_t add_config(Coords& c, std::string name) { return c.add_config(std::move(name)); }
void set_permutation(Coords& c, std::vector<std::uint32_t> perm) { c.set_permutation(std::move(perm)); }
std::vector<std::uint32_t> to_u32_list(PyObject* obj) { return to_list(obj, to_u32); }

TypeDef coords_type_def() {
  using K = Class<CoordsClass>;
  static PyMethodDef methods[] = {
      method<CoordsClass, node_count_sig, &Coords::node_count>(),
      method<CoordsClass, capacity_sig, &Coords::capacity>(),
      method<CoordsClass, is_alive_sig, &Coords::is_alive, to_u32>(),
      method<CoordsClass, add_node_sig, add_node, to_f64_list>(),
      method<CoordsClass, acquire_sig, acquire, to_u32>(),
      method<CoordsClass, refcount_sig, &Coords::refcount, to_u32>(),
      method<CoordsClass, gc_sig, &Coords::gc>(),
      method<CoordsClass, add_config_sig, add_config, to_str>(),
      method<CoordsClass, select_sig, &Coords::select, to_u64>(),
      method<CoordsClass, names_sig, &Coords::names>(),
      method<CoordsClass, permutation_sig, &Coords::permutation>(),
      method<CoordsClass, set_permutation_sig, set_permutation, to_u32_list>(),
      method<CoordsClass, clear_permutation_sig, &Coords::clear_permutation>(),
      K::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {
      getter<CoordsClass, dim_sig, &Coords::dim>(),
      getter<CoordsClass, active_sig, &Coords::active>(),
      kGetSetEnd,
  };
  return K::def("_quenlith.Coords", coords_new_sig, methods, getset,
                {{constructor<CoordsClass, coords_new_sig, make_coords, to_u8>()}});
}

}  // namespace

TypeCache CoordsClass::type{&coords_type_def};

}  // namespace quenlith::py
