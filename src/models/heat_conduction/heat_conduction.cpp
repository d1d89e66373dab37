#include "models/heat_conduction/heat_conduction.hpp"

#include "base/error.hpp"
#include "store/guard.hpp"

namespace quenlith::models {

HeatConduction HeatConduction::create(SpaceHandle fespace) {
  MeshHandle support = support_of(fespace);
  return HeatConduction(std::move(fespace), std::move(support));
}

std::unique_ptr<ModelKind> HeatConduction::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  return std::unique_ptr<ModelKind>(new HeatConduction(std::move(h.fespace), std::move(h.support)));
}

std::span<const std::string_view> HeatConduction::material_components() const {
  static constexpr std::string_view kNames[] = {"k"};
  return kNames;
}

std::span<const std::string_view> HeatConduction::optional_materials() const {
  static constexpr std::string_view kNames[] = {"rho", "cp"};
  return kNames;
}

std::vector<std::string> HeatConduction::output_components() const {
  const std::uint64_t d = store::read(fespace())->space_dim();
  QUENLITH_VERIFY(d <= 3, "HeatConduction: no flux component names for a {}-D space", d);
  return axis_names("flux_", d);
}

}  // namespace quenlith::models
