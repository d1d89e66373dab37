// The Python class NodeField: an ordered list of node-field zones on one Coords.
#include <cstdint>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "dump/number_format.hpp"
#include "ops/field/mask.hpp"
#include "py/bind/container.hpp"
#include "py/field_common.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using containers::node_field::NodeField;
using containers::node_field::SubNodeField;

namespace {

constexpr Param new_params[] = {{"support"}, {"components"}};
const Signature new_sig{"__new__", "NodeField", Receiver::Constructor, new_params,
                        "Values carried by mesh nodes, one zone per submesh of a `Mesh` support (or one zone for a "
                        "`SubMesh`); a read takes the first zone that defines the node and component, and `check()` "
                        "verifies that zones agree on shared nodes."};
constexpr Param per_submesh_params[] = {{"mesh"}, {"components_per_submesh"}};
const Signature per_submesh_sig{"with_components_per_submesh", "NodeField", Receiver::Cls, per_submesh_params,
                                "A field with one zone per submesh of `mesh`, zone i carrying the names of list i."};
const Signature node_count_sig{"node_count", "NodeField", Receiver::Self, {},
                               "Number of distinct nodes over all zones."};
const Signature components_sig{"components", "NodeField", Receiver::Self, {},
                               "The union of the zones' component names, in first-seen order."};
constexpr Param value_params[] = {{"node"}, {"component"}};
const Signature value_sig{"value", "NodeField", Receiver::Self, value_params,
                          "The value of the first zone, in zone order, that holds `node` and carries `component`."};
constexpr Param values_params[] = {{"nodes"}, {"component"}};
const Signature values_sig{
    "values", "NodeField", Receiver::Self, values_params,
    "One value per node of `nodes` (a `SubMesh`, a `Mesh` or a sequence of `Node`; every connectivity\n"
    "entry counts, repeats included), each as `value` would give it."};
const Signature check_sig{"check", "NodeField", Receiver::Self, {},
                          "Raise unless every zone holding a node gives it the same value of each shared component."};
const Signature support_mesh_sig{
    "support_mesh", "NodeField", Receiver::Self, {},
    "A `Mesh` listing the support submesh of every zone, in zone order (the very submeshes, not copies)."};

// The zone list of a field is never read under a guard of its own: payload bodies.
NodeField make_field(PyObject* support, const std::vector<std::string>& components) {
  if (is_instance<MeshClass>(support)) return NodeField::create(*Borrowed<MeshClass>(support), components);
  if (is_instance<SubMeshClass>(support)) return NodeField::on_submesh(*Borrowed<SubMeshClass>(support), components);
  raise_type_error("expected a Mesh or a SubMesh");
}

// The components are converted before the support is looked at.
PyObject* field_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const BoundArgs bound = match_tuple(new_sig, args, kwargs);
    const std::vector<std::string> components = arg(new_sig, bound, 1, to_str_list);
    return to_python(make_field(bound[0], components));
  });
}

std::vector<std::vector<std::string>> to_name_lists(PyObject* obj) { return to_list(obj, to_str_list); }

NodeField with_components_per_submesh(const Borrowed<MeshClass>& mesh,
                                      const std::vector<std::vector<std::string>>& components) {
  return NodeField::with_components_per_submesh(*mesh, components);
}

std::uint64_t node_count(const NodeField& f) { return f.node_count(); }
std::vector<std::string> components(const NodeField& f) { return f.components(); }

double value(const NodeField& f, const Borrowed<NodeClass>& node, const std::string& component) {
  const auto v = f.value(node->id(), component);
  if (!v) throw Error::message("no subfield defines (node {}, component {})", node->id(), component);
  return *v;
}

// The node ids of the `nodes` argument: a submesh's connectivity, a mesh's
// connectivities in submesh order, or the ids of a sequence of Node objects.
std::vector<NodeId> node_ids_of(PyObject* nodes) {
  std::vector<NodeId> ids;
  auto append = [&](const store::Handle<SubMesh>& sub) {
    store::ReadGuard<SubMesh> guard = store::read(sub);
    const auto conn = guard->connectivity();
    ids.insert(ids.end(), conn.begin(), conn.end());
  };
  if (is_instance<SubMeshClass>(nodes)) {
    append(*Borrowed<SubMeshClass>(nodes));
    return ids;
  }
  if (is_instance<MeshClass>(nodes)) {
    const Borrowed<MeshClass> mesh(nodes);
    for (const auto& sub : mesh->subs()) append(sub);
    return ids;
  }
  constexpr std::string_view kRefused = "expected a list of Node, a SubMesh, or a Mesh";
  if (PyUnicode_Check(nodes) || !PySequence_Check(nodes)) raise_type_error(kRefused);
  Ref items = detail::sequence_items(nodes);  // a snapshot: items stay alive
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  PyObject** objects = PySequence_Fast_ITEMS(items.get());
  ids.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_instance<NodeClass>(objects[i])) raise_type_error(kRefused);
    ids.push_back(Borrowed<NodeClass>(objects[i])->id());
  }
  return ids;
}

// values(nodes, component): the component is converted first.
Ref values(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(values_sig, args, nargsf, kwnames);
  const std::string component = arg(values_sig, bound, 1, to_str);
  const std::vector<NodeId> ids = node_ids_of(bound[0]);
  const Borrowed<NodeFieldClass> field = Borrowed<NodeFieldClass>::receiver(self);
  return to_python(field->values_at(ids, component));
}

void check(const NodeField& f) { f.check_coherence(); }

Mesh support_mesh(const NodeField& f) {
  Mesh out;
  for (auto& support : f.support_handles()) out.push_sub(std::move(support));
  return out;
}

NodeField compare(const NodeField& f, const containers::field::ValueBand& band) {
  return ops::field::mask_node_field(f, band, std::nullopt);
}

TypeDef node_field_type_def() {
  using C = NodeFieldClass;
  static const PyMethodDef methods[] = {
      function<per_submesh_sig, with_components_per_submesh, borrow<MeshClass>, to_name_lists>(METH_CLASS),
      method<C, node_count_sig, node_count>(),
      method<C, components_sig, components>(),
      method<C, value_sig, value, borrow<NodeClass>, to_str>(),
      method_def<values>(values_sig.name, values_sig.doc()),
      method<C, check_sig, check>(),
      method<C, support_mesh_sig, support_mesh>(),
  };
  static std::vector<PyMethodDef> table;
  method_table(methods, FieldComponentMethods<C>::defs(), table);
  return with_field_subscript(
      Container<C>::def("_quenlith.NodeField", new_sig, table,
                        {{{Py_tp_new, reinterpret_cast<void*>(&field_new)},
                          {Py_tp_richcompare, reinterpret_cast<void*>(&field_richcompare<C, compare>)},
                          {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)}},
                         FieldArithmetic<C>::slots()}),
      &field_subscript<C>);
}

}  // namespace

std::string NodeFieldClass::dump_text(const Payload& field, const dump::DumpOptions& options) {
  return field_dump_text(field, options);
}

TypeCache NodeFieldClass::type{&node_field_type_def};

}  // namespace quenlith::py
