// sweep, transfinite, sweep_solid, extrude, translate and rotate.
//
// Each entry converts every argument in signature order (the Mesh objects it is
// given are held shared from their conversion to the end of the call), parses the
// element type name, runs the core and wraps the new Mesh once every guard the core
// took is released.
#include "py/structured.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "ops/mesher/sweep.hpp"
#include "ops/mesher/sweep_kernel.hpp"
#include "ops/mesher/transfinite.hpp"
#include "ops/mesher/transform.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::ElementType;
using containers::mesh::Mesh;

namespace {

using MeshArg = Borrowed<MeshClass>;

constexpr Param sweep_params[] = {{"mesh_a"}, {"mesh_b"}, {"n_layers"}, {"element_type", "\"QUA4\""}};
const Signature sweep_sig{
    "sweep", nullptr, Receiver::None, sweep_params,
    "Build a structured surface mesh of `n_layers` rows of cells between two SEG2 line\n"
    "meshes with the same number of elements, node j of one line facing node j of the\n"
    "other; the intermediate nodes are interpolated linearly.\n"
    "\n"
    "A QUA4 mesh is always built first and then converted: the diagonal split for\n"
    "\"TRI3\", quadratic promotion for \"QUA8\", \"QUA9\" and \"TRI6\"."};

constexpr Param transfinite_params[] = {{"side1"}, {"side2"}, {"side3"}, {"side4"}, {"element_type", "\"QUA4\""}};
const Signature transfinite_sig{
    "transfinite", nullptr, Receiver::None, transfinite_params,
    "Build a structured surface mesh inside four SEG2 line meshes by transfinite\n"
    "interpolation. side1/side3 and side2/side4 are the two pairs of opposite sides,\n"
    "each pair with the same number of elements; the sides form the closed contour\n"
    "side1 → side2 → side3 → side4 → side1, each sharing its end node with the next\n"
    "side's start node. The element type follows the conversion path of `sweep`."};

constexpr Param sweep_solid_params[] = {{"mesh_a"}, {"mesh_b"}, {"n_layers"}};
const Signature sweep_solid_sig{
    "sweep_solid", nullptr, Receiver::None, sweep_solid_params,
    "Sweep two matching surface meshes into a solid mesh of `n_layers` layers between\n"
    "`mesh_a` and `mesh_b`: TRI3 faces into PENTA6 prisms, QUA4 faces into HEX8\n"
    "hexahedra. Nodes pair by their position in the cells of both meshes."};

constexpr Param extrude_params[] = {{"mesh"}, {"direction"}, {"n_layers"}};
const Signature extrude_sig{
    "extrude", nullptr, Receiver::None, extrude_params,
    "Extrude a mesh along `direction`, the total displacement vector, in `n_layers`\n"
    "equal layers: SEG2 → QUA4, TRI3 → PENTA6, QUA4 → HEX8, one submesh per input\n"
    "submesh."};

constexpr Param translate_params[] = {{"mesh"}, {"vector"}};
const Signature translate_sig{
    "translate", nullptr, Receiver::None, translate_params,
    "Translate a mesh by `vector`, which matches the mesh dimension. The result is a\n"
    "fresh copy with nodes of its own; the input is left untouched."};

constexpr Param rotate_params[] = {{"mesh"}, {"angle"}, {"center"}, {"axis", "None"}};
const Signature rotate_sig{
    "rotate", nullptr, Receiver::None, rotate_params,
    "Rotate a mesh by `angle` (radians) about `center` into a fresh copy with nodes of\n"
    "its own; the input is left untouched. In 2-D `center` is a point and `axis` is\n"
    "ignored; in 3-D the rotation is about the line through `center` directed by\n"
    "`axis` (right-handed), and `axis` is required."};

ElementType patch_type(const std::optional<std::string>& name) { return parse_element_type(name.value_or("QUA4")); }

Mesh sweep(MeshArg a, MeshArg b, std::uint64_t n_layers, std::optional<std::string> element_type) {
  return ops::mesher::sweep(*a, *b, n_layers, patch_type(element_type));
}

Mesh transfinite(MeshArg s1, MeshArg s2, MeshArg s3, MeshArg s4, std::optional<std::string> element_type) {
  return ops::mesher::transfinite(*s1, *s2, *s3, *s4, patch_type(element_type));
}

Mesh sweep_solid(MeshArg a, MeshArg b, std::uint64_t n_layers) { return ops::mesher::sweep_solid(*a, *b, n_layers); }

Mesh extrude(MeshArg mesh, std::vector<double> direction, std::uint64_t n_layers) {
  return ops::mesher::extrude(*mesh, direction, n_layers);
}

Mesh translate(MeshArg mesh, std::vector<double> vector) { return ops::mesher::translate(*mesh, vector); }

Mesh rotate(MeshArg mesh, double angle, std::vector<double> center, std::optional<std::vector<double>> axis) {
  return ops::mesher::rotate(*mesh, center, axis, angle);
}

}  // namespace

PyMethodDef sweep_def =
    function<sweep_sig, sweep, borrow<MeshClass>, borrow<MeshClass>, to_u64, opt<to_str>>();
PyMethodDef transfinite_def = function<transfinite_sig, transfinite, borrow<MeshClass>, borrow<MeshClass>,
                                       borrow<MeshClass>, borrow<MeshClass>, opt<to_str>>();
PyMethodDef sweep_solid_def = function<sweep_solid_sig, sweep_solid, borrow<MeshClass>, borrow<MeshClass>, to_u64>();
PyMethodDef extrude_def = function<extrude_sig, extrude, borrow<MeshClass>, to_f64_list, to_u64>();
PyMethodDef translate_def = function<translate_sig, translate, borrow<MeshClass>, to_f64_list>();
PyMethodDef rotate_def =
    function<rotate_sig, rotate, borrow<MeshClass>, to_f64, to_f64_list, opt<to_f64_list>>();

}  // namespace quenlith::py
