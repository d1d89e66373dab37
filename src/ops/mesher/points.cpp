#include "ops/mesher/points.hpp"

#include <vector>

#include "containers/mesh/submesh.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

Mesh to_poi1(const Mesh& mesh) {
  Mesh out;
  for (const auto& sub : mesh.subs()) {
    store::Handle<SubMesh> cloud = store::read(sub)->node_cloud();
    out.push_sub(std::move(cloud));
  }
  return out;
}

Mesh from_live_nodes(const store::Handle<Coords>& coords) {
  std::vector<NodeId> ids;
  {
    // The guard goes before the cells are added: each takes the Coords for writing.
    store::ReadGuard<Coords> guard = store::read(coords);
    for (std::uint64_t id = 0; id < guard->capacity(); ++id)
      if (guard->is_alive(static_cast<NodeId>(id))) ids.push_back(static_cast<NodeId>(id));
  }
  return Mesh::from_submesh(SubMesh::poi1_from_ids(coords, ids));
}

}  // namespace quenlith::ops::mesher
