// volume(envelope, size=None): the volume mesher.
#include "py/volume.hpp"

#include <optional>

#include "containers/mesh/mesh.hpp"
#include "ops/mesher/volume/volume.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

namespace {

using containers::mesh::Mesh;

constexpr Param volume_params[] = {{"envelope"}, {"size", "None"}};
const Signature volume_sig{
    "volume", nullptr, Receiver::None, volume_params,
    "Fill the interior of a closed TRI3 surface `envelope` with TET4 cells by a\n"
    "size-controlled Delaunay fill that creates interior nodes: the 3-D companion of\n"
    "`triangulate_surface`.\n"
    "\n"
    "`size` is the target element edge length; `None` takes the mean edge length of\n"
    "the envelope's faces. The envelope must be a closed, consistently oriented TRI3\n"
    "surface on a 3-D Coords (either orientation). The result is a Mesh with a single\n"
    "TET4 submesh whose boundary nodes are the envelope's own; no node is added on\n"
    "the boundary: where the envelope's own points cannot be tetrahedralised, points\n"
    "are added strictly inside. An envelope that crosses itself is refused."};

// The envelope stays held (no add_sub meanwhile) while the mesher runs.
Mesh fill(Borrowed<MeshClass> envelope, std::optional<double> size) {
  return ops::mesher::volume(*envelope, size, interrupt_check());
}

}  // namespace

PyMethodDef volume_def = function<volume_sig, fill, borrow<MeshClass>, opt<to_f64>>();

}  // namespace quenlith::py
