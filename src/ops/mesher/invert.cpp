#include "ops/mesher/invert.hpp"

#include <vector>

#include "ops/mesher/inversion.hpp"
#include "containers/mesh/rewrite.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::SubMeshSnapshot;
using containers::mesh::rewrite_submeshes;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

Mesh invert(const Mesh& mesh) {
  return rewrite_submeshes(mesh, [](const SubMeshSnapshot& in, const store::Handle<Coords>& coords) {
    SubMesh out(in.element_type, coords);
    std::vector<NodeId> cell(containers::mesh::nodes_per_cell(in.element_type));
    for (std::uint64_t c = 0; c < in.cell_count(); ++c) {
      invert_cell(in.element_type, in.cell(c), cell);
      out.add_cell(cell);
    }
    return out;
  });
}

}  // namespace quenlith::ops::mesher
