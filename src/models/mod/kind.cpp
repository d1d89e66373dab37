#include "models/mod/kind.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "models/kernel/gauss_point_field.hpp"
#include "models/mod/drivers.hpp"
#include "store/guard.hpp"

namespace quenlith::models {

std::string_view sense_text(Sense s) noexcept {
  switch (s) {
    case Sense::Equal: return "=";
    case Sense::GreaterEqual: return ">=";
    case Sense::LessEqual: return "<=";
  }
  return "?";
}

Sense parse_sense(std::optional<std::string_view> text) {
  if (!text) return Sense::Equal;
  const std::string_view t = *text;
  if (t == "=" || t == "==") return Sense::Equal;
  if (t == ">=" || t == "\u2265") return Sense::GreaterEqual;
  if (t == "<=" || t == "\u2264") return Sense::LessEqual;
  throw Error::message("unknown relation sense '{}' (expected '=', '>=' or '<=')", t);
}

std::string_view debug_name(ContinuumModel m) noexcept {
  switch (m) {
    case ContinuumModel::PlaneStress: return "PlaneStress";
    case ContinuumModel::PlaneStrain: return "PlaneStrain";
    case ContinuumModel::Solid: return "Solid";
  }
  return "?";
}

std::optional<ContinuumModel> parse_continuum_model(std::string_view text) noexcept {
  if (text == "plane_stress") return ContinuumModel::PlaneStress;
  if (text == "plane_strain") return ContinuumModel::PlaneStrain;
  if (text == "solid") return ContinuumModel::Solid;
  return std::nullopt;
}

std::string_view debug_name(Physics p) noexcept {
  switch (p) {
    case Physics::Mechanical: return "Mechanical";
    case Physics::Thermal: return "Thermal";
    case Physics::Constraint: return "Constraint";
    case Physics::Other: return "Other";
  }
  return "?";
}

// --- Behaviour defaults ------------------------------------------------------

void Behaviour::gauss_point_law(const CellContext&, const SubElementField&, const SubElementField*,
                                const SubElementField*, std::uint64_t, std::optional<double>,
                                std::span<double>) const {
  throw Error::message("{}: gauss_point_law needs the constitutive laws, which are not built yet", behaviour_name());
}

SubElementField Behaviour::integrate_behavior(const ZoneHandle& deformation, const std::optional<ZoneHandle>& previous,
                                              const std::optional<ZoneHandle>& materials,
                                              std::optional<double> dt) const {
  const SpaceHandle space = behaviour_fespace();
  std::vector<std::string> names = output_components();
  std::optional<store::ReadGuard<SubElementField>> prev;
  if (previous) prev.emplace(store::read(*previous));
  const SubElementField* prev_zone = prev ? &prev->get() : nullptr;
  return kernel::gauss_point_field(space, deformation, materials, std::move(names),
                                   [&](const CellContext& ctx, const SubElementField& input,
                                       const SubElementField* mat, std::uint64_t g, std::span<double> out) {
                                     gauss_point_law(ctx, input, prev_zone, mat, g, dt, out);
                                   });
}

// --- ModelKind defaults ------------------------------------------------------

void ModelKind::element_matrix(std::span<const CellContext>, const SubElementField*, std::span<double>) const {
  throw Error::message("{}: no element kernel \u2014 element_matrix is undefined", name());
}

void ModelKind::element_mass(std::span<const CellContext>, const SubElementField*, std::span<double>) const {
  throw Error::message("{}: no mass kernel \u2014 element_mass is undefined", name());
}

void ModelKind::element_geometric(std::span<const CellContext>, const SubElementField*, const SubElementField*,
                                  std::span<double>) const {
  throw Error::message("{}: no geometric-stiffness kernel \u2014 element_geometric is undefined", name());
}

void ModelKind::element_tangent(std::span<const CellContext>, const SubElementField*, const SubElementField*,
                                std::span<double>) const {
  throw Error::message("{}: no tangent kernel \u2014 element_tangent is undefined", name());
}

void ModelKind::element_operator(OperatorKind kind, std::span<const CellContext> ctxs,
                                 const SubElementField* material, const SubElementField* state,
                                 std::span<double> out) const {
  switch (kind) {
    case OperatorKind::Stiffness: return element_matrix(ctxs, material, out);
    case OperatorKind::Mass: return element_mass(ctxs, material, out);
    case OperatorKind::Geometric: return element_geometric(ctxs, material, state, out);
    case OperatorKind::Tangent: return element_tangent(ctxs, material, state, out);
  }
}

std::unique_ptr<kernel::PreparedKernel> ModelKind::prepare_operator(OperatorKind,
                                                                   const containers::finite_element_space::CellGeometry&,
                                                                   const SubElementField*,
                                                                   const SubElementField*) const {
  return nullptr;
}

std::vector<BlockRecipe> ModelKind::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const {
  std::vector<BlockRecipe> out;
  if (std::optional<BlockLayout> l = layout(kind)) {
    out.emplace_back(std::move(*l));
  } else if (kind == OperatorKind::Stiffness) {
    out.emplace_back(build_stiffness_blocks(material));
  }
  return out;
}

LiteralBlocks ModelKind::build_stiffness_blocks(const std::optional<ZoneHandle>& material) const {
  std::optional<BlockLayout> l = stiffness_layout();
  if (!l)
    throw Error::message(
        "{}: build_stiffness_blocks has no default without a stiffness_layout \u2014 override it (e.g. a "
        "constraint such as Dirichlet, or a multi-block physics)",
        name());
  LiteralBlocks out;
  out.push_back(assemble_block(l->fespaces, l->support, l->support, l->dual_vars, l->primal_vars, l->ordering,
                               l->symmetric, material, std::nullopt, *this));
  return out;
}

std::optional<BlockLayout> ModelKind::layout(OperatorKind kind) const {
  switch (kind) {
    case OperatorKind::Stiffness: return stiffness_layout();
    case OperatorKind::Mass: return mass_layout();
    case OperatorKind::Geometric: return geometric_layout();
    case OperatorKind::Tangent: return tangent_layout();
  }
  return std::nullopt;
}

void ModelKind::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                        std::span<double> out) const {
  element_internal_forces_bt_sigma(ctxs, stress, out, *this);
}

SubNodeField ModelKind::build_internal_forces(const ZoneHandle& stress) const {
  std::optional<BlockLayout> l = stiffness_layout();
  if (!l)
    throw Error::message(
        "{}: build_internal_forces has no default without a stiffness_layout (e.g. a constraint such as Dirichlet)",
        name());
  store::ReadGuard<SubElementField> zone = store::read(stress);
  return scatter_to_nodes(l->fespaces, l->support, l->dual_vars, *this, *zone);
}

std::string ModelKind::label() const { return fmt::format("SubModel<{}>", name()); }

std::uint64_t cell_count_or_zero(const MeshHandle& submesh) noexcept {
  try {
    return store::read(submesh)->cell_count();
  } catch (...) {
    return 0;
  }
}

std::uint64_t cell_count_or_zero(std::span<const MeshHandle> submeshes) noexcept {
  std::uint64_t n = 0;
  for (const MeshHandle& h : submeshes) n += cell_count_or_zero(h);
  return n;
}

}  // namespace quenlith::models
