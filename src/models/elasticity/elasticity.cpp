#include "models/elasticity/elasticity.hpp"

#include "base/error.hpp"
#include "models/elasticity/small_strain.hpp"

namespace quenlith::models {

namespace {
const SubElementField& supplied(const SubElementField* material) {
  if (!material) throw Error::message("Elasticity declares a material_fespace \u21d2 material is supplied");
  return *material;
}
}  // namespace

std::vector<std::string> Elasticity::output_components() const {
  return stress_names(space_dim());
}

void Elasticity::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                                std::span<double> out) const {
  kernel::elasticity_stiffness(ctxs.front(), supplied(material), model(), out);
}

void Elasticity::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                              std::span<double> out) const {
  kernel::elasticity_mass(ctxs.front(), supplied(material), out);
}

void Elasticity::element_geometric(std::span<const CellContext> ctxs, const SubElementField*,
                                   const SubElementField* state, std::span<double> out) const {
  if (!state) throw Error::message("geometric stiffness requires the current stress field");
  kernel::elasticity_geometric(ctxs.front(), *state, out);
}

void Elasticity::element_tangent(std::span<const CellContext> ctxs, const SubElementField* material,
                                 const SubElementField*, std::span<double> out) const {
  element_matrix(ctxs, material, out);
}

void Elasticity::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                                 const SubElementField* materials, std::uint64_t g, std::optional<double>,
                                 std::span<double> out) const {
  kernel::elastic_point_stress(model(), space_dim(), supplied(materials), deformation, ctx.cell(), g, out);
}

}  // namespace quenlith::models
