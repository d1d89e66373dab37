// The Python class SubNodeField: one handle on a stored node-field zone, a view
// shared by every holder of that zone.
#include <cstdint>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "ops/field/mask.hpp"
#include "py/bind/container.hpp"
#include "py/field_common.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Mesh;
using containers::mesh::SubMesh;
using containers::node_field::SubNodeField;
using ZoneHandle = store::Handle<SubNodeField>;

namespace {

const Signature zone_doc_sig{"SubNodeField", nullptr, Receiver::None, {},
                             "A view of one zone of a `NodeField`, obtained by indexing; never constructed directly. "
                             "Writes through it are seen by every field that lists the zone."};
const Signature node_count_sig{"node_count", "SubNodeField", Receiver::Self, {}, "Number of nodes of this zone."};
const Signature component_count_sig{"component_count", "SubNodeField", Receiver::Self, {},
                                    "Number of components of this zone."};
const Signature components_sig{"components", "SubNodeField", Receiver::Self, {},
                               "Component names of this zone, in order."};
constexpr Param get_params[] = {{"node_idx"}, {"comp_idx"}};
const Signature get_sig{"get", "SubNodeField", Receiver::Self, get_params,
                        "The value at row `node_idx` and component position `comp_idx`."};
constexpr Param set_params[] = {{"node_idx"}, {"comp_idx"}, {"value"}};
const Signature set_sig{"set", "SubNodeField", Receiver::Self, set_params,
                        "Write the value at row `node_idx` and component position `comp_idx`."};
constexpr Param get_by_node_params[] = {{"node"}, {"comp_idx"}};
const Signature get_by_node_sig{"get_by_node", "SubNodeField", Receiver::Self, get_by_node_params,
                                "The value of `node` at component position `comp_idx`."};
constexpr Param set_by_node_params[] = {{"node"}, {"comp_idx"}, {"value"}};
const Signature set_by_node_sig{"set_by_node", "SubNodeField", Receiver::Self, set_by_node_params,
                                "Write the value of `node` at component position `comp_idx`."};
constexpr Param name_params[] = {{"name"}};
const Signature component_index_sig{"component_index", "SubNodeField", Receiver::Self, name_params,
                                    "Position of the component `name`, or None when the zone lacks it."};
constexpr Param node_idx_params[] = {{"node_idx"}};
const Signature node_values_sig{"node_values", "SubNodeField", Receiver::Self, node_idx_params,
                                "The values of row `node_idx`, in component order."};
const Signature support_submesh_sig{
    "support_submesh", "SubNodeField", Receiver::Self, {},
    "A new, unsealed POI1 `SubMesh` with one cell per node of this zone, in zone order (a copy: another\n"
    "submesh than the zone's support on every call)."};
const Signature support_mesh_sig{"support_mesh", "SubNodeField", Receiver::Self, {},
                                 "A new `Mesh` holding one submesh made as by `support_submesh()`."};
constexpr Param value_params[] = {{"node"}, {"component"}};
const Signature value_sig{"value", "SubNodeField", Receiver::Self, value_params,
                          "The value of `node` for the component named `component`."};
constexpr Param set_value_params[] = {{"node"}, {"component"}, {"value"}};
const Signature set_value_sig{"set_value", "SubNodeField", Receiver::Self, set_value_params,
                              "Write the value of `node` for the component named `component`."};

std::uint64_t node_count(const SubNodeField& z) { return z.node_count(); }
std::uint64_t component_count(const SubNodeField& z) { return z.component_count(); }
std::vector<std::string> components(const SubNodeField& z) { return {z.components().begin(), z.components().end()}; }
double get(const SubNodeField& z, std::uint64_t row, std::uint64_t comp) { return z.get(row, comp); }
void set(SubNodeField& z, std::uint64_t row, std::uint64_t comp, double value) { z.set(row, comp, value); }
double get_by_node(const SubNodeField& z, const Borrowed<NodeClass>& node, std::uint64_t comp) {
  return z.get_by_node(node->id(), comp);
}
void set_by_node(SubNodeField& z, const Borrowed<NodeClass>& node, std::uint64_t comp, double value) {
  z.set_by_node(node->id(), comp, value);
}
std::optional<std::uint64_t> component_index(const SubNodeField& z, const std::string& name) {
  return z.component_index(name);
}
std::vector<double> node_values(const SubNodeField& z, std::uint64_t row) { return z.node_values(row); }
double value(const SubNodeField& z, const Borrowed<NodeClass>& node, const std::string& component) {
  return z.value(node->id(), component);
}
void set_value(SubNodeField& z, const Borrowed<NodeClass>& node, const std::string& component, double v) {
  z.set_value(node->id(), component, v);
}

// The new submeshes are made under the zone's read guard and stored once it is gone.
store::Handle<SubMesh> support_submesh(const ZoneHandle& zone) {
  return store::insert(read_value(zone, [](const SubNodeField& z) { return z.support_submesh(); }));
}
Mesh support_mesh(const ZoneHandle& zone) {
  return Mesh::from_submesh(read_value(zone, [](const SubNodeField& z) { return z.support_submesh(); }));
}

// zone[key]: a (Node, str) pair reads one value; any other key names components
// and selects them into a new zone.
PyObject* subscript(PyObject* self, PyObject* key) noexcept {
  return guarded([&]() -> Ref {
    if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) == 2 && is_instance<NodeClass>(PyTuple_GET_ITEM(key, 0)) &&
        PyUnicode_Check(PyTuple_GET_ITEM(key, 1))) {
      const Borrowed<NodeClass> node(PyTuple_GET_ITEM(key, 0));
      const std::string component = to_str(PyTuple_GET_ITEM(key, 1));
      const Borrowed<SubNodeFieldClass> zone = Borrowed<SubNodeFieldClass>::receiver(self);
      return to_python(read_value(*zone, [&](const SubNodeField& z) { return z.value(node->id(), component); }));
    }
    const std::vector<std::string> names = extract_components(key);
    const Borrowed<SubNodeFieldClass> zone = Borrowed<SubNodeFieldClass>::receiver(self);
    return to_python(
        store::insert(read_value(*zone, [&](const SubNodeField& z) { return z.select_components(names); })));
  });
}

// The key of item assignment: a (Node, name) pair.
struct NodeKey {
  std::uint32_t node;
  std::string component;
};
NodeKey assigned_key(PyObject* key) {
  Ref pair = to_tuple_n(key, 2);
  const Borrowed<NodeClass> node(PyTuple_GET_ITEM(pair.get(), 0));
  return {node->id(), to_str(PyTuple_GET_ITEM(pair.get(), 1))};
}
void assign(SubNodeField& z, const NodeKey& k, double v) { z.set_value(k.node, k.component, v); }

// zone < x and the like: a new zone.
ZoneHandle compare(const ZoneHandle& zone, const containers::field::ValueBand& band) {
  return store::insert(
      read_value(zone, [&](const SubNodeField& z) { return ops::field::mask_sub_node_field(z, band, std::nullopt); }));
}

TypeDef sub_node_field_type_def() {
  using C = SubNodeFieldClass;
  using K = Class<C>;
  static PyMethodDef methods[] = {
      method<C, node_count_sig, node_count>(),
      method<C, component_count_sig, component_count>(),
      method<C, components_sig, components>(),
      method<C, get_sig, get, to_u64, to_u64>(),
      method<C, set_sig, set, to_u64, to_u64, to_f64>(),
      method<C, get_by_node_sig, get_by_node, borrow<NodeClass>, to_u64>(),
      method<C, set_by_node_sig, set_by_node, borrow<NodeClass>, to_u64, to_f64>(),
      method<C, component_index_sig, component_index, to_str>(),
      method<C, node_values_sig, node_values, to_u64>(),
      method<C, support_submesh_sig, support_submesh>(),
      method<C, support_mesh_sig, support_mesh>(),
      method<C, value_sig, value, borrow<NodeClass>, to_str>(),
      method<C, set_value_sig, set_value, borrow<NodeClass>, to_str, to_f64>(),
      K::dump(),
  };
  static std::vector<PyMethodDef> table;
  return K::def("_quenlith.SubNodeField", zone_doc_sig,
                method_table(methods, FieldComponentMethods<C>::defs(), table), nullptr,
                {zone_slots<C, &subscript, assigned_key, assign, compare>(),
                 Container<NodeFieldClass>::sub_or_slot(), FieldArithmetic<C>::slots()});
}

}  // namespace

TypeCache SubNodeFieldClass::type{&sub_node_field_type_def};

}  // namespace quenlith::py
