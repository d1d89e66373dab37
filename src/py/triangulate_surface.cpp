// triangulate_surface(contour, element_type, size=None): the surface mesher.
#include "py/triangulate_surface.hpp"

#include <optional>
#include <string>

#include "containers/mesh/element_type.hpp"
#include "ops/mesher/triangulate_surface/triangulate_surface.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/mesh.hpp"
#include "py/signature.hpp"

namespace quenlith::py {

namespace {

using containers::mesh::Mesh;

constexpr Param triangulate_surface_params[] = {{"contour"}, {"element_type"}, {"size", "None"}};
const Signature triangulate_surface_sig{
    "triangulate_surface", nullptr, Receiver::None, triangulate_surface_params,
    "Mesh the interior of a closed SEG2 `contour` with `element_type` cells using a\n"
    "constrained-Delaunay and Ruppert-refinement mesher.\n"
    "\n"
    "`contour` holds one or more closed SEG2 loops, each oriented by the caller: a\n"
    "counter-clockwise loop is a domain's outer boundary, a clockwise loop a hole\n"
    "contained in an outer loop; several disjoint counter-clockwise loops mesh several\n"
    "independent domains at once. `size` sets the target element edge length; `None`\n"
    "uses the mean boundary edge length per domain. `element_type` is \"TRI3\" or\n"
    "\"QUA4\" (QUA4 is quad-dominant: the result may also carry a few boundary\n"
    "triangles). The contour may be 2-D or a planar loop in 3-D (meshed in its\n"
    "best-fit plane, lifted back)."};

Ref triangulate_surface_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(triangulate_surface_sig, args, nargsf, kwnames);
  const Mesh& contour =
      arg(triangulate_surface_sig, bound, 0, [](PyObject* o) -> const Mesh& { return mesh_value(o); });
  const std::string name = arg(triangulate_surface_sig, bound, 1, to_str);
  std::optional<double> size;
  if (bound.has(2)) size = arg(triangulate_surface_sig, bound, 2, to_f64);
  const auto type = containers::mesh::element_type_from_name(name);
  if (!type) raise_value_error(fmt::format("unknown element type: {}", name));
  std::optional<Mesh> result;
  {
    SharedHold hold(reinterpret_cast<ObjectBase*>(bound[0]));
    result.emplace(ops::mesher::triangulate_surface(contour, *type, size, interrupt_check()));
  }
  return wrap_mesh(std::move(*result));
}

}  // namespace

PyMethodDef triangulate_surface_def =
    method_def<triangulate_surface_impl>("triangulate_surface", triangulate_surface_sig.doc());

}  // namespace quenlith::py
