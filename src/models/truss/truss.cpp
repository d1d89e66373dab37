#include "models/truss/truss.hpp"

#include <cmath>

#include "base/error.hpp"
#include "models/kernel/line_element.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

Truss Truss::create(SpaceHandle fespace) {
  const SpaceFacts facts = read_space_facts(fespace);
  QUENLITH_VERIFY(facts.element_type == containers::mesh::ElementType::SEG2, "Truss: expected SEG2 elements, got {}",
                  facts.element_type);
  QUENLITH_VERIFY(facts.space_dim <= 3, "Truss: a bar needs a 1-D, 2-D or 3-D configuration, got {}-D",
                  facts.space_dim);
  MeshHandle support = node_cloud_of(facts.submesh);
  return Truss(std::move(fespace), std::move(support), facts.space_dim);
}

std::unique_ptr<ModelKind> Truss::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  const std::uint64_t d = r.read_u64();
  // It sizes every element table: a bar has 1 to 3 axes.
  store::RecordReader::check(d >= 1 && d <= 3, "Truss record: space dim {} is not 1, 2 or 3", d);
  return std::unique_ptr<ModelKind>(new Truss(std::move(h.fespace), std::move(h.support), d));
}

void Truss::encode(store::RecordWriter& w) const {
  encode_space_and_support(w);
  w.write_u64(space_dim_);
}

std::span<const std::string_view> Truss::material_components() const {
  static constexpr std::string_view kNames[] = {"E", "A"};
  return kNames;
}

std::span<const std::string_view> Truss::optional_materials() const {
  static constexpr std::string_view kNames[] = {"rho"};
  return kNames;
}

BarGeometry truss_geometry(const CellContext& ctx, std::uint64_t d) {
  const std::span<const double> x0 = ctx.node_coords(0);
  const std::span<const double> x1 = ctx.node_coords(1);
  BarGeometry g;
  double sum = 0.0;
  for (std::uint64_t i = 0; i < d; ++i) {
    g.e[i] = x1[i] - x0[i];
    sum += g.e[i] * g.e[i];
  }
  g.length = std::sqrt(sum);
  kernel::require_length(ctx, g.length, "Truss");
  for (std::uint64_t i = 0; i < d; ++i) g.e[i] /= g.length;
  return g;
}

std::vector<BlockRecipe> Truss::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const {
  if (layout(kind)) kernel::check_cells(fespace(), [&](const CellContext& ctx) { truss_geometry(ctx, space_dim_); });
  return ModelKind::block_recipes(kind, material);
}

SubNodeField Truss::build_internal_forces(const ZoneHandle& stress) const {
  kernel::check_cells(fespace(), [&](const CellContext& ctx) { truss_geometry(ctx, space_dim_); });
  return ModelKind::build_internal_forces(stress);
}

namespace {
const SubElementField& bar_material(const SubElementField* material) {
  if (!material) throw Error::message("Truss requires a material field");
  return *material;
}
}  // namespace

void Truss::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                           std::span<double> out) const {
  const SubElementField& mat = bar_material(material);
  const CellContext& ctx = ctxs.front();
  const std::uint64_t d = space_dim_, n = 2 * d;
  const BarGeometry bar = truss_geometry(ctx, d);
  const double e = mat.value(ctx.cell(), 0, "E");
  const double a = mat.value(ctx.cell(), 0, "A");
  const double k = e * a / bar.length;
  for (std::uint64_t i = 0; i < d; ++i)
    for (std::uint64_t j = 0; j < d; ++j) {
      const double v = k * bar.e[i] * bar.e[j];
      out[i * n + j] = v;
      out[(d + i) * n + d + j] = v;
      out[i * n + d + j] = -v;
      out[(d + i) * n + j] = -v;
    }
}

void Truss::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                         std::span<double> out) const {
  const SubElementField& mat = bar_material(material);
  const CellContext& ctx = ctxs.front();
  const std::uint64_t d = space_dim_;
  const double length = truss_geometry(ctx, d).length;
  const double rho = kernel::required_density(mat, ctx.cell(), "Truss");
  const double a = mat.value(ctx.cell(), 0, "A");
  const double m = length * (rho * a) / 6.0;
  for (std::uint64_t k = 0; k < d; ++k) kernel::add_two_node_mass(out, 2 * d, k, d + k, m);
}

void Truss::element_geometric(std::span<const CellContext> ctxs, const SubElementField*,
                              const SubElementField* state, std::span<double> out) const {
  if (!state) throw Error::message("truss geometric stiffness requires the axial force `n`");
  const CellContext& ctx = ctxs.front();
  const std::uint64_t d = space_dim_, n = 2 * d;
  const BarGeometry bar = truss_geometry(ctx, d);
  const double kg = state->value(ctx.cell(), 0, "n") / bar.length;
  for (std::uint64_t i = 0; i < d; ++i)
    for (std::uint64_t j = 0; j < d; ++j) {
      const double v = kg * ((i == j ? 1.0 : 0.0) - bar.e[i] * bar.e[j]);
      out[i * n + j] += v;
      out[(d + i) * n + d + j] += v;
      out[i * n + d + j] -= v;
      out[(d + i) * n + j] -= v;
    }
}

void Truss::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                    std::span<double> out) const {
  const CellContext& ctx = ctxs.front();
  const std::uint64_t d = space_dim_;
  const BarGeometry bar = truss_geometry(ctx, d);
  const double n = stress.value(ctx.cell(), 0, "n");
  for (std::uint64_t i = 0; i < d; ++i) {
    out[i] = -n * bar.e[i];
    out[d + i] = n * bar.e[i];
  }
}

void Truss::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                            const SubElementField* materials, std::uint64_t g, std::optional<double>,
                            std::span<double> out) const {
  if (!materials) throw Error::message("Truss declares a material_fespace \u21d2 material is supplied");
  const std::uint64_t d = space_dim_;
  const BarGeometry bar = truss_geometry(ctx, d);
  static constexpr std::string_view kStrain[3][3] = {
      {"eps_xx", "eps_xy", "eps_xz"}, {"eps_xy", "eps_yy", "eps_yz"}, {"eps_xz", "eps_yz", "eps_zz"}};
  const double e = materials->value(ctx.cell(), 0, "E");
  const double a = materials->value(ctx.cell(), 0, "A");
  double eps = 0.0;
  for (std::uint64_t i = 0; i < d; ++i)
    for (std::uint64_t j = 0; j < d; ++j) eps += deformation.value(ctx.cell(), g, kStrain[i][j]) * bar.e[i] * bar.e[j];
  out[0] = (e * a) * eps;
}

}  // namespace quenlith::models
