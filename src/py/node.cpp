// The Python class Node, and the `|` that makes a point mesh of nodes.
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Coords;
using containers::mesh::Mesh;
using containers::mesh::Node;
using containers::mesh::SubMesh;

namespace {

const Signature node_doc_sig{
    "Node", nullptr, Receiver::None, {},
    "A node of a `Coords`: a stable identifier that carries its `Coords`, created by `Coords.add_node` and "
    "passed wherever a node is needed."};
constexpr Param coords_params[] = {{"coords"}};
const Signature coord_sig{"coord", "Node", Receiver::Self, {}, "This node's coordinates in the active coordinate set."};
const Signature set_coord_sig{"set_coord", "Node", Receiver::Self, coords_params, "Overwrite this node's coordinates."};
const Signature id_sig{"id", "Node", Receiver::Self, {}, "Stable integer id of this node within its `Coords`."};

void set_coord(const Node& node, const std::vector<double>& xyz) {
  store::WriteGuard<Coords> guard = store::write(node.handle());
  guard->set_coord(node.id(), xyz);
}

// node | node -> a Mesh of one POI1 submesh of the two nodes; mesh | node ->
// Mesh::or_node; anything else is declined.
PyObject* node_or(PyObject* a, PyObject* b) noexcept {
  return guarded([&]() -> Ref {
    if (is_instance<NodeClass>(a) && is_instance<NodeClass>(b)) {
      const Borrowed<NodeClass> left(a);
      const Borrowed<NodeClass> right(b);
      const Node* nodes[] = {&*left, &*right};
      return to_python(Mesh::from_submesh(SubMesh::poi1_from_nodes(nodes)));
    }
    if (is_instance<NodeClass>(b) && is_instance<MeshClass>(a)) {
      const Borrowed<MeshClass> mesh(a);
      const Borrowed<NodeClass> node(b);
      return to_python(mesh->or_node(*node));
    }
    return Ref::borrow(Py_NotImplemented);
  });
}

TypeDef node_type_def() {
  using K = Class<NodeClass>;
  static PyMethodDef methods[] = {
      method<NodeClass, coord_sig, &Node::coord>(),
      method<NodeClass, set_coord_sig, set_coord, to_f64_list>(),
      K::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {getter<NodeClass, id_sig, &Node::id>(), kGetSetEnd};
  return K::def("_quenlith.Node", node_doc_sig, methods, getset,
                {{{Py_nb_or, reinterpret_cast<void*>(&node_or)}}});
}

}  // namespace

TypeCache NodeClass::type{&node_type_def};

}  // namespace quenlith::py
