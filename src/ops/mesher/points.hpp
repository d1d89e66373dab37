#pragma once
// Point (POI1) meshes made from existing nodes, no node created: the node cloud of
// every submesh of a mesh, every live node of a Coords. (One point per Node of a
// list is SubMesh::poi1_from_nodes.)
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "store/handle.hpp"

namespace quenlith::ops::mesher {

// One submesh per input submesh, in order: its node cloud (SubMesh::node_cloud:
// the distinct ids by first appearance, sealed; for a sealed input the very cloud it
// caches). A mesh without submeshes gives an empty mesh. Guard errors thrown.
containers::mesh::Mesh to_poi1(const containers::mesh::Mesh& mesh);

// One unsealed POI1 submesh on `coords` holding every live node by increasing id
// (one new reference per cell); no live node gives one empty submesh.
containers::mesh::Mesh from_live_nodes(const store::Handle<containers::mesh::Coords>& coords);

}  // namespace quenlith::ops::mesher
