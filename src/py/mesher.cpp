// line, circle, arc, to_quadratic, convert and invert.
//
// Each entry converts every argument in signature order (holding the Node and Mesh
// objects it is given shared from their conversion to the end of the call), parses
// the element type name, runs the core and wraps the new Mesh once every guard the
// core took is released.
#include "py/mesher.hpp"

#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "ops/mesher/arc.hpp"
#include "ops/mesher/circle.hpp"
#include "ops/mesher/convert.hpp"
#include "ops/mesher/invert.hpp"
#include "ops/mesher/line.hpp"
#include "ops/mesher/quadratic.hpp"
#include "py/convert.hpp"
#include "py/coords.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/mesh.hpp"
#include "py/signature.hpp"

namespace quenlith::py {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;

namespace {

ObjectBase* base_of(PyObject* obj) { return reinterpret_cast<ObjectBase*>(obj); }

// The Node of argument i; the caller holds bound[i] shared while it uses it.
const Node& node_argument(const Signature& sig, const BoundArgs& bound, std::size_t i) {
  return arg(sig, bound, i, [](PyObject* o) -> const Node& { return node_value(o); });
}

const Mesh& mesh_argument(const Signature& sig, const BoundArgs& bound, std::size_t i) {
  return arg(sig, bound, i, [](PyObject* o) -> const Mesh& { return mesh_value(o); });
}

// The element_type argument at i: the default when absent, else a str.
std::string type_name_argument(const Signature& sig, const BoundArgs& bound, std::size_t i, const char* fallback) {
  return bound.has(i) ? arg(sig, bound, i, to_str) : std::string(fallback);
}

constexpr Param line_params[] = {{"a"}, {"b"}, {"n_elems"}, {"element_type", "\"SEG2\""}};
const Signature line_sig{"line", nullptr, Receiver::None, line_params,
                         "Build a straight line mesh of `n_elems` elements from node `a` to node `b`.\n"
                         "`element_type` is \"SEG2\" (the default) or \"SEG3\"."};

constexpr Param circle_params[] = {{"center"}, {"normal"}, {"radius"}, {"n_elems"}, {"element_type", "\"SEG2\""}};
const Signature circle_sig{"circle", nullptr, Receiver::None, circle_params,
                           "Build a closed circle mesh of `n_elems` elements centred on node `center`,\n"
                           "lying in the plane defined by the 3-component `normal`, with the given `radius`.\n"
                           "`element_type` is \"SEG2\" (the default) or \"SEG3\"."};

constexpr Param arc_params[] = {{"a"}, {"center"}, {"b"}, {"n_elems"}, {"element_type", "\"SEG2\""}};
const Signature arc_sig{"arc", nullptr, Receiver::None, arc_params,
                        "Build an open arc mesh of `n_elems` elements from node `a` to node `b` on the\n"
                        "circle centred on node `center` that passes through both; the shorter of the\n"
                        "two arcs is built. `element_type` is \"SEG2\" (the default) or \"SEG3\"."};

constexpr Param mesh_params[] = {{"mesh"}};
const Signature to_quadratic_sig{
    "to_quadratic", nullptr, Receiver::None, mesh_params,
    "Promote every linear cell to its quadratic counterpart: SEG2 → SEG3, TRI3 → TRI6,\n"
    "QUA4 → QUA8, TET4 → TET10, PENTA6 → PENTA15, HEX8 → HEX20.\n"
    "\n"
    "Each cell keeps its corner nodes and gains one new node at the midpoint of each\n"
    "edge; cells that share an edge, in any submesh of the mesh, share its mid node.\n"
    "Returns a new mesh with one submesh per input submesh, in order, with the input's\n"
    "face colours; the input is untouched. Other element types are refused."};

constexpr Param convert_params[] = {{"mesh"}, {"element_type"}};
const Signature convert_sig{
    "convert", nullptr, Receiver::None, convert_params,
    "Convert every submesh to `element_type` by splitting each cell into cells of\n"
    "that type, without moving or adding any node.\n"
    "\n"
    "Supported: the identity (cells copied verbatim), QUA4 → TRI3 (two triangles per\n"
    "quad, on the (0, 2) diagonal) and HEX8 → TET4 (six tetrahedra per hex). Corner\n"
    "nodes are re-used and face colours preserved; for quadratic types use\n"
    "`to_quadratic`. The input is untouched."};

const Signature invert_sig{"invert", nullptr, Receiver::None, mesh_params,
                           "Reverse the orientation of every cell, in any dimension (POI1 cells are left\n"
                           "unchanged), and return a fresh mesh sharing the input's nodes."};

Ref line_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(line_sig, args, nargsf, kwnames);
  const Node& a = node_argument(line_sig, bound, 0);
  SharedHold hold_a(base_of(bound[0]));
  const Node& b = node_argument(line_sig, bound, 1);
  SharedHold hold_b(base_of(bound[1]));
  const std::uint64_t n_elems = arg(line_sig, bound, 2, to_u64);
  const ElementType type = parse_element_type(type_name_argument(line_sig, bound, 3, "SEG2"));
  return wrap_mesh(ops::mesher::line(a, b, n_elems, type));
}

Ref circle_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(circle_sig, args, nargsf, kwnames);
  const Node& center = node_argument(circle_sig, bound, 0);
  SharedHold hold(base_of(bound[0]));
  const std::vector<double> normal = arg(circle_sig, bound, 1, to_f64_list);
  const double radius = arg(circle_sig, bound, 2, to_f64);
  const std::uint64_t n_elems = arg(circle_sig, bound, 3, to_u64);
  const ElementType type = parse_element_type(type_name_argument(circle_sig, bound, 4, "SEG2"));
  return wrap_mesh(ops::mesher::circle(center, normal, radius, n_elems, type));
}

Ref arc_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(arc_sig, args, nargsf, kwnames);
  const Node& a = node_argument(arc_sig, bound, 0);
  SharedHold hold_a(base_of(bound[0]));
  const Node& center = node_argument(arc_sig, bound, 1);
  SharedHold hold_center(base_of(bound[1]));
  const Node& b = node_argument(arc_sig, bound, 2);
  SharedHold hold_b(base_of(bound[2]));
  const std::uint64_t n_elems = arg(arc_sig, bound, 3, to_u64);
  const ElementType type = parse_element_type(type_name_argument(arc_sig, bound, 4, "SEG2"));
  return wrap_mesh(ops::mesher::arc(a, center, b, n_elems, type));
}

// A function of one Mesh argument returning a new Mesh.
template <const Signature& Sig, Mesh (*Op)(const Mesh&)>
Ref mesh_to_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(Sig, args, nargsf, kwnames);
  const Mesh& mesh = mesh_argument(Sig, bound, 0);
  Mesh result;
  {
    SharedHold hold(base_of(bound[0]));
    result = Op(mesh);
  }
  return wrap_mesh(std::move(result));
}

Ref convert_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(convert_sig, args, nargsf, kwnames);
  const Mesh& mesh = mesh_argument(convert_sig, bound, 0);
  SharedHold hold(base_of(bound[0]));
  const ElementType target = parse_element_type(arg(convert_sig, bound, 1, to_str));
  return wrap_mesh(ops::mesher::convert(mesh, target));
}

}  // namespace

PyMethodDef line_def = method_def<line_impl>("line", line_sig.doc());
PyMethodDef circle_def = method_def<circle_impl>("circle", circle_sig.doc());
PyMethodDef arc_def = method_def<arc_impl>("arc", arc_sig.doc());
PyMethodDef to_quadratic_def =
    method_def<mesh_to_mesh<to_quadratic_sig, ops::mesher::to_quadratic>>("to_quadratic", to_quadratic_sig.doc());
PyMethodDef convert_def = method_def<convert_impl>("convert", convert_sig.doc());
PyMethodDef invert_def = method_def<mesh_to_mesh<invert_sig, ops::mesher::invert>>("invert", invert_sig.doc());

}  // namespace quenlith::py
