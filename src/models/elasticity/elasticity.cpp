#include "models/elasticity/elasticity.hpp"

#include "base/error.hpp"
#include "models/elasticity/small_strain.hpp"

namespace quenlith::models {

std::vector<std::string> Elasticity::output_components() const {
  return stress_names(space_dim());
}

std::string Elasticity::missing_material_text() const {
  return "Elasticity declares a material_fespace \u21d2 material is supplied";
}

void Elasticity::element_tangent(std::span<const CellContext> ctxs, const SubElementField* material,
                                 const SubElementField*, std::span<double> out) const {
  element_matrix(ctxs, material, out);
}

void Elasticity::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                                 const SubElementField* materials, std::uint64_t g, std::optional<double>,
                                 std::span<double> out) const {
  kernel::elastic_point_stress(model(), space_dim(), law_materials(materials), deformation, ctx.cell(), g, out);
}

}  // namespace quenlith::models
