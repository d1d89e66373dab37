#include "models/mod/constraint.hpp"

#include "base/error.hpp"
#include "models/mod/domain.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

void write_mesh_list(store::RecordWriter& w, std::span<const MeshHandle> meshes) {
  w.write_list(meshes, [](store::RecordWriter& out, const MeshHandle& h) { out.write_handle(h); });
}

MeshList read_mesh_list(store::RecordReader& r) {
  return r.read_list([](store::RecordReader& in) { return in.read_handle<containers::mesh::SubMesh>(); });
}

std::span<const Physics> ConstraintKind::physics() const noexcept { return physics_list(Physics::Constraint); }

std::vector<Relation> ConstraintKind::relations() const {
  throw Error::message("{}: its relations are not built yet", name());
}

}  // namespace quenlith::models
