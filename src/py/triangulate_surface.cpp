// triangulate_surface(contour, element_type, size=None): the surface mesher.
#include "py/triangulate_surface.hpp"

#include <optional>
#include <string>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "ops/mesher/triangulate_surface/triangulate_surface.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

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

// The contour stays held (no add_sub meanwhile) while the mesher runs.
Mesh triangulate(Borrowed<MeshClass> contour, std::string name, std::optional<double> size) {
  const auto type = containers::mesh::element_type_from_name(name);
  if (!type) raise_value_error(fmt::format("unknown element type: {}", name));
  return ops::mesher::triangulate_surface(*contour, *type, size, interrupt_check());
}

}  // namespace

PyMethodDef triangulate_surface_def =
    function<triangulate_surface_sig, triangulate, borrow<MeshClass>, to_str, opt<to_f64>>();

}  // namespace quenlith::py
