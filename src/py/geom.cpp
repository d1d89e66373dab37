// elements_on: the cells of a mesh resting on the node set of another.
#include "py/geom.hpp"

#include <optional>

#include "containers/mesh/mesh.hpp"
#include "ops/geom/elements_on.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Mesh;

namespace {

constexpr Param elements_on_params[] = {{"mesh"}, {"points"}, {"strict", "True"}};

const Signature elements_on_sig{
    "elements_on", nullptr, Receiver::None, elements_on_params,
    "Keep the elements of `mesh` resting on the nodes of `points`.\n\n"
    "Only the node set referenced by `points` matters (typically a POI1 points\n"
    "mesh). With `strict=True` a cell is kept when all its nodes are in the set;\n"
    "with `strict=False`, when at least one is. The result mirrors `mesh` submesh\n"
    "by submesh (same types, possibly empty zones). Both meshes must share the\n"
    "same Coords."};

using MeshArg = Borrowed<MeshClass>;

Mesh elements_on(const MeshArg& mesh, const MeshArg& points, std::optional<bool> strict) {
  return ops::geom::elements_on(*mesh, *points, strict.value_or(true));
}

}  // namespace

PyMethodDef elements_on_def =
    function<elements_on_sig, elements_on, borrow<MeshClass>, borrow<MeshClass>, opt<to_bool>>();

}  // namespace quenlith::py
