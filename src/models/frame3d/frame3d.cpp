#include "models/frame3d/frame3d.hpp"

namespace quenlith::models {

Frame3d Frame3d::create(SpaceHandle fespace) {
  MeshHandle support = node_cloud_of(beam_space_facts("Frame3d", fespace, 3, "space frame").submesh);
  return Frame3d(std::move(fespace), std::move(support));
}

std::unique_ptr<ModelKind> Frame3d::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  return std::unique_ptr<ModelKind>(new Frame3d(std::move(h.fespace), std::move(h.support)));
}

}  // namespace quenlith::models
