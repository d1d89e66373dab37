#include "models/heat_conduction/heat_conduction.hpp"

#include "base/error.hpp"
#include "models/kernel/shape_integrals.hpp"
#include "store/guard.hpp"

namespace quenlith::models {

namespace {

// The input and output names by axis, as `gradient` of a field "T" and
// output_components name them; no allocation per point.
constexpr std::string_view kGradientNames[] = {"grad_T_x", "grad_T_y", "grad_T_z"};
constexpr std::string_view kFluxNames[] = {"flux_x", "flux_y", "flux_z"};

const SubElementField& supplied(const SubElementField* material) {
  if (!material) throw Error::message("HeatConduction requires a material field");
  return *material;
}

// A capacity material at Gauss point 0 of the cell; any failure becomes `message`.
double capacity_value(const SubElementField& material, std::uint64_t cell, std::string_view name,
                      std::string_view message) {
  try {
    return material.value(cell, 0, name);
  } catch (const Error&) {
    throw Error::message(std::string(message));
  }
}

}  // namespace

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

void HeatConduction::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                                    std::span<double> out) const {
  const SubElementField& mat = supplied(material);
  const CellContext& ctx = ctxs.front();
  kernel::add_gradient_products(ctx, [&](std::uint64_t g) { return mat.value(ctx.cell(), g, "k"); }, out);
}

std::unique_ptr<kernel::PreparedKernel> HeatConduction::prepare_operator(
    OperatorKind kind, const containers::finite_element_space::CellGeometry& cells, const SubElementField* material,
    const SubElementField*) const {
  if (kind != OperatorKind::Stiffness || !material) return nullptr;
  const std::optional<std::uint64_t> k = material->component_index("k");
  if (!k) return nullptr;
  return kernel::prepare_gradient_products(cells, *material, *k);
}

void HeatConduction::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                                  std::span<double> out) const {
  const SubElementField& mat = supplied(material);
  const CellContext& ctx = ctxs.front();
  const double rho = capacity_value(
      mat, ctx.cell(), "rho", "HeatConduction capacity matrix: material component `rho` (density) is required");
  const double cp = capacity_value(
      mat, ctx.cell(), "cp", "HeatConduction capacity matrix: material component `cp` (specific heat) is required");
  const double rho_cp = rho * cp;
  kernel::add_shape_products(ctx, 1, [rho_cp](std::uint64_t) { return rho_cp; }, out);
}

void HeatConduction::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                             std::span<double> out) const {
  const CellContext& ctx = ctxs.front();
  kernel::add_gradient_dot(
      ctx,
      [&](std::uint64_t g, std::span<double> flux) {
        for (std::size_t i = 0; i < flux.size(); ++i) flux[i] = stress.value(ctx.cell(), g, kFluxNames[i]);
      },
      out);
}

void HeatConduction::gauss_point_law(const CellContext& ctx, const SubElementField& deformation,
                                     const SubElementField*, const SubElementField* materials, std::uint64_t g,
                                     std::optional<double>, std::span<double> out) const {
  if (!materials) throw Error::message("HeatConduction declares a material_fespace \u21d2 material is supplied");
  const double k = materials->value(ctx.cell(), g, "k");
  // `out` holds one value per axis (output_components refuses more than three).
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = deformation.value(ctx.cell(), g, kGradientNames[i]) * k;
}

}  // namespace quenlith::models
