#include "models/convection/convection.hpp"

#include "base/error.hpp"
#include "models/kernel/shape_integrals.hpp"

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

void Convection::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                                std::span<double> out) const {
  if (!material) throw Error::message("Convection requires a material field");
  const CellContext& ctx = ctxs.front();
  kernel::add_shape_products(ctx, 1, [&](std::uint64_t g) { return material->value(ctx.cell(), g, "h"); }, out);
}

void Convection::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                         std::span<double> out) const {
  const CellContext& ctx = ctxs.front();
  kernel::add_weighted_shape(ctx, [&](std::uint64_t g) { return stress.value(ctx.cell(), g, "flux"); }, out);
}

void Convection::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                                 const SubElementField* materials, std::uint64_t g, std::optional<double>,
                                 std::span<double> out) const {
  if (!materials) throw Error::message("Convection declares a material_fespace \u21d2 material is supplied");
  const double h = materials->value(ctx.cell(), g, "h");
  out[0] = h * deformation.value(ctx.cell(), g, "T");
}

}  // namespace quenlith::models
