#include "ops/mesher/submesh_copy.hpp"

#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::SubMesh;

SubMeshCopy copy_submesh(const store::Handle<SubMesh>& handle) {
  store::ReadGuard<SubMesh> guard = store::read(handle);
  const auto conn = guard->connectivity();
  return SubMeshCopy{guard->element_type(), guard->face_color(), {conn.begin(), conn.end()}};
}

SubMesh new_submesh(containers::mesh::ElementType t, const store::Handle<containers::mesh::Coords>& coords,
                    containers::mesh::RgbColor color) {
  SubMesh sub(t, coords);
  sub.set_face_color(color);
  return sub;
}

}  // namespace quenlith::ops::mesher
