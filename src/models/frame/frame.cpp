#include "models/frame/frame.hpp"

namespace quenlith::models {

Frame Frame::create(SpaceHandle fespace) {
  MeshHandle support = node_cloud_of(beam_space_facts("Frame", fespace, 2, "planar frame").submesh);
  return Frame(std::move(fespace), std::move(support));
}

std::unique_ptr<ModelKind> Frame::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  return std::unique_ptr<ModelKind>(new Frame(std::move(h.fespace), std::move(h.support)));
}

}  // namespace quenlith::models
