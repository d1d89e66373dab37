#include "containers/mesh/rewrite.hpp"

#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::mesh {

SubMeshSnapshot snapshot(const store::Handle<containers::mesh::SubMesh>& sub) {
  store::ReadGuard<containers::mesh::SubMesh> guard = store::read(sub);
  const auto conn = guard->connectivity();
  return SubMeshSnapshot{guard->element_type(), {conn.begin(), conn.end()}, guard->face_color()};
}

}  // namespace quenlith::containers::mesh
