#include "models/elasticity/continuum.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "models/elasticity/small_strain.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

std::vector<std::string> stress_names(std::uint64_t space_dim) {
  if (space_dim == 2) return {"sigma_xx", "sigma_yy", "sigma_xy"};
  return {"sigma_xx", "sigma_yy", "sigma_zz", "sigma_yz", "sigma_xz", "sigma_xy"};
}

std::vector<std::string> ktan_names(std::uint64_t space_dim) {
  const std::uint64_t m = space_dim == 2 ? 3 : 6;
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < m; ++i)
    for (std::uint64_t j = i; j < m; ++j) out.push_back(fmt::format("ktan_{}_{}", i, j));
  return out;
}

double state_value_or_zero(const SubElementField* zone, std::uint64_t cell, std::uint64_t g, std::string_view name,
                           std::size_t hint) noexcept {
  if (!zone) return 0.0;
  const std::span<const std::string> names = zone->components();
  std::optional<std::uint64_t> k;
  if (hint < names.size() && names[hint] == name)
    k = hint;
  else
    k = zone->component_index(name);
  if (!k || cell >= zone->cell_count() || g >= zone->gauss_count()) return 0.0;
  return zone->values()[(cell * zone->gauss_count() + g) * names.size() + *k];
}

namespace {
// The kernels size their stress and Hooke tables from the pair: any other pair
// would write past them.
bool model_fits(std::uint64_t space_dim, ContinuumModel model) {
  return (space_dim == 3 && model == ContinuumModel::Solid) || (space_dim == 2 && model != ContinuumModel::Solid);
}
}  // namespace

ContinuumKind::Parts ContinuumKind::build(std::string_view kind, SpaceHandle fespace, ContinuumModel model) {
  const SpaceFacts facts = read_space_facts(fespace);
  QUENLITH_VERIFY(model_fits(facts.space_dim, model),
                  "{}: model {} is incompatible with a {}-D space (2-D \u21d2 plane_stress|plane_strain, 3-D \u21d2 "
                  "solid)",
                  kind, debug_name(model), facts.space_dim);
  MeshHandle support = node_cloud_of(facts.submesh);
  return Parts{std::move(fespace), std::move(support), facts.space_dim, model};
}

ContinuumKind::Parts ContinuumKind::decode_parts(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  const std::uint64_t d = r.read_u64();
  const auto model = static_cast<ContinuumModel>(r.read_variant(kContinuumModelCount));
  store::RecordReader::check(model_fits(d, model), "continuum record: model {} with a {}-D space", debug_name(model),
                             d);
  return Parts{std::move(h.fespace), std::move(h.support), d, model};
}

void ContinuumKind::encode(store::RecordWriter& w) const {
  encode_space_and_support(w);
  w.write_u64(space_dim_);
  w.write_variant(static_cast<std::uint32_t>(model_));
}

std::string ContinuumKind::describe_title() const { return fmt::format("{}({})", name(), debug_name(model_)); }

std::string ContinuumKind::missing_material_text() const { return fmt::format("{} requires a material field", name()); }

const SubElementField& ContinuumKind::law_materials(const SubElementField* materials) const {
  if (!materials) throw Error::message("{} declares a material_fespace \u21d2 material is supplied", name());
  return *materials;
}

const SubElementField& ContinuumKind::kernel_materials(const SubElementField* material) const {
  if (!material) throw Error::message(missing_material_text());
  return *material;
}

void ContinuumKind::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                                   std::span<double> out) const {
  const SubElementField& materials = kernel_materials(material);
  kernel::elasticity_stiffness(ctxs.front(), materials, model_, out);
}

std::unique_ptr<kernel::PreparedKernel> ContinuumKind::prepare_operator(
    OperatorKind kind, const containers::finite_element_space::CellGeometry& cells, const SubElementField* material,
    const SubElementField*) const {
  if (kind != OperatorKind::Stiffness || !material) return nullptr;
  return kernel::prepare_elasticity_stiffness(cells, *material, model_);
}

void ContinuumKind::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                                 std::span<double> out) const {
  const SubElementField& materials = kernel_materials(material);
  kernel::elasticity_mass(ctxs.front(), materials, out);
}

void ContinuumKind::element_geometric(std::span<const CellContext> ctxs, const SubElementField*,
                                      const SubElementField* state, std::span<double> out) const {
  if (!state) throw Error::message("geometric stiffness requires the current stress field");
  kernel::elasticity_geometric(ctxs.front(), *state, out);
}

}  // namespace quenlith::models
