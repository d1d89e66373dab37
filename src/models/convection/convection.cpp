#include "models/convection/convection.hpp"

namespace quenlith::models {

Convection Convection::create(SpaceHandle fespace) {
  MeshHandle support = support_of(fespace);
  return Convection(std::move(fespace), std::move(support));
}

std::unique_ptr<ModelKind> Convection::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  return std::unique_ptr<ModelKind>(new Convection(std::move(h.fespace), std::move(h.support)));
}

std::span<const std::string_view> Convection::material_components() const {
  static constexpr std::string_view kNames[] = {"h"};
  return kNames;
}

}  // namespace quenlith::models
