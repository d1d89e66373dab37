// line, circle, arc, to_quadratic, convert and invert; the point meshes to_poi1,
// from_live_nodes and poi1_from_nodes; barycenter.
//
// Each entry converts every argument in signature order (the Node and Mesh objects
// it is given are held shared from their conversion to the end of the call), parses
// the element type name, runs the core and wraps the new Mesh once every guard the
// core took is released.
#include "py/mesher.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "ops/mesher/arc.hpp"
#include "containers/geom/barycenter.hpp"
#include "ops/mesher/circle.hpp"
#include "ops/mesher/convert.hpp"
#include "ops/mesher/invert.hpp"
#include "ops/mesher/line.hpp"
#include "ops/mesher/points.hpp"
#include "ops/mesher/quadratic.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::SubMesh;

namespace {

using NodeArg = Borrowed<NodeClass>;
using MeshArg = Borrowed<MeshClass>;

// The element_type argument: its default when absent, else the name parsed.
ElementType curve_type(const std::optional<std::string>& name) { return parse_element_type(name.value_or("SEG2")); }

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

const Signature to_poi1_sig{
    "to_poi1", nullptr, Receiver::None, mesh_params,
    "Convert a mesh to POI1, submesh by submesh.\n"
    "\n"
    "The result has the same number of submeshes, each a POI1 submesh holding the\n"
    "de-duplicated nodes of the corresponding input submesh, in order of first\n"
    "appearance. The result submeshes are sealed (use `SubMesh.duplicate` for an\n"
    "editable copy); a sealed input submesh gives its one cached cloud every time."};

constexpr Param coords_params[] = {{"coords"}};
const Signature from_live_nodes_sig{"from_live_nodes", nullptr, Receiver::None, coords_params,
                                    "Build a points (POI1) mesh holding every live node of `coords`.\n"
                                    "\n"
                                    "One submesh, one point per live node by increasing id; no node is created."};

constexpr Param nodes_params[] = {{"nodes"}};
const Signature poi1_from_nodes_sig{
    "poi1_from_nodes", nullptr, Receiver::None, nodes_params,
    "Build a points (POI1) mesh with one point per node in `nodes`.\n"
    "\n"
    "The `Coords` is taken from the nodes themselves, so no `Coords` argument is\n"
    "needed; every node must belong to that one `Coords`. The result holds a single\n"
    "POI1 submesh, one point per node in list order (repeats kept). Raises if\n"
    "`nodes` is empty."};

const Signature barycenter_sig{
    "barycenter", nullptr, Receiver::None, mesh_params,
    "Build the mesh of cell centroids.\n"
    "\n"
    "The result is a new mesh with the same number of submeshes, each a POI1 submesh\n"
    "with one fresh node per element of the corresponding input submesh, placed at the\n"
    "element's centroid (the plain mean of its nodes). A POI1 input is thus copied to\n"
    "colocated fresh nodes, which mints Lagrange-multiplier support nodes from a set of\n"
    "constrained points. The input is untouched."};

Mesh line(NodeArg a, NodeArg b, std::uint64_t n_elems, std::optional<std::string> element_type) {
  return ops::mesher::line(*a, *b, n_elems, curve_type(element_type));
}

Mesh circle(NodeArg center, std::vector<double> normal, double radius, std::uint64_t n_elems,
            std::optional<std::string> element_type) {
  return ops::mesher::circle(*center, normal, radius, n_elems, curve_type(element_type));
}

Mesh arc(NodeArg a, NodeArg center, NodeArg b, std::uint64_t n_elems, std::optional<std::string> element_type) {
  return ops::mesher::arc(*a, *center, *b, n_elems, curve_type(element_type));
}

Mesh to_quadratic(MeshArg mesh) { return ops::mesher::to_quadratic(*mesh); }
Mesh invert(MeshArg mesh) { return ops::mesher::invert(*mesh); }
Mesh to_poi1(MeshArg mesh) { return ops::mesher::to_poi1(*mesh); }
Mesh from_live_nodes(Borrowed<CoordsClass> coords) { return ops::mesher::from_live_nodes(*coords); }
Mesh poi1_from_nodes(BorrowedList<NodeClass> nodes) {
  return Mesh::from_submesh(SubMesh::poi1_from_nodes(nodes.payloads()));
}
Mesh barycenter(MeshArg mesh) { return containers::geom::barycenter(*mesh); }
Mesh convert(MeshArg mesh, std::string element_type) {
  return ops::mesher::convert(*mesh, parse_element_type(element_type));
}

}  // namespace

PyMethodDef line_def = function<line_sig, line, borrow<NodeClass>, borrow<NodeClass>, to_u64, opt<to_str>>();
PyMethodDef circle_def =
    function<circle_sig, circle, borrow<NodeClass>, to_f64_list, to_f64, to_u64, opt<to_str>>();
PyMethodDef arc_def =
    function<arc_sig, arc, borrow<NodeClass>, borrow<NodeClass>, borrow<NodeClass>, to_u64, opt<to_str>>();
PyMethodDef to_quadratic_def = function<to_quadratic_sig, to_quadratic, borrow<MeshClass>>();
PyMethodDef convert_def = function<convert_sig, convert, borrow<MeshClass>, to_str>();
PyMethodDef invert_def = function<invert_sig, invert, borrow<MeshClass>>();
PyMethodDef to_poi1_def = function<to_poi1_sig, to_poi1, borrow<MeshClass>>();
PyMethodDef from_live_nodes_def = function<from_live_nodes_sig, from_live_nodes, borrow<CoordsClass>>();
PyMethodDef poi1_from_nodes_def = function<poi1_from_nodes_sig, poi1_from_nodes, borrow_list<NodeClass>>();
PyMethodDef barycenter_def = function<barycenter_sig, barycenter, borrow<MeshClass>>();

}  // namespace quenlith::py
