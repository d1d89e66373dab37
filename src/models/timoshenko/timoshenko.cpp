#include "models/timoshenko/timoshenko.hpp"

#include <array>
#include <cmath>

#include "base/error.hpp"
#include "models/kernel/line_element.hpp"

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

using containers::finite_element_space::Interpolation;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;

Timoshenko Timoshenko::create(SpaceHandle bending) {
  const SpaceFacts facts = beam_space_facts("Timoshenko", bending, 1, "pure planar (w, \u03b8) beam");
  SpaceHandle shear =
      store::insert(SubFiniteElementSpace::create(facts.submesh, Interpolation::LAGRANGE1, QuadratureRule::REDUCED));
  MeshHandle support = node_cloud_of(facts.submesh);  // on failure `shear` goes with this frame
  return Timoshenko(std::move(bending), std::move(shear), std::move(support));
}

std::unique_ptr<ModelKind> Timoshenko::decode(store::RecordReader& r) {
  SpaceHandle bending = r.read_handle<SubFiniteElementSpace>();
  SpaceHandle shear = r.read_handle<SubFiniteElementSpace>();
  MeshHandle support = r.read_handle<containers::mesh::SubMesh>();
  return std::unique_ptr<ModelKind>(new Timoshenko(std::move(bending), std::move(shear), std::move(support)));
}

void Timoshenko::encode(store::RecordWriter& w) const {
  w.write_handle(bending());
  w.write_handle(shear_);
  w.write_handle(support());
}

std::span<const std::string_view> Timoshenko::material_components() const {
  static constexpr std::string_view kNames[] = {"E", "I", "G", "A_s"};
  return kNames;
}

std::span<const std::string_view> Timoshenko::optional_materials() const {
  static constexpr std::string_view kNames[] = {"A", "rho"};
  return kNames;
}

namespace {

using Vec4 = std::array<double, 4>;

const SubElementField& law_material(const SubElementField* material) {
  if (!material) throw Error::message("Timoshenko declares a material_fespace \u21d2 material is supplied");
  return *material;
}

// Calls f(b, dV) at every Gauss point of the bending context with b = (0, N1', 0, N2').
template <class F>
void bending_points(const CellContext& ctx, F&& f) {
  double grads[2];
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double dv = ctx.dn_dx_dvolume(g, std::span<double>(grads, 2));
    f(g, Vec4{0.0, grads[0], 0.0, grads[1]}, dv);
  }
}

// Calls f(b, dV) at every Gauss point of the shear context with b = (N1', −N1, N2', −N2).
template <class F>
void shear_points(const CellContext& ctx, F&& f) {
  double grads[2];
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double dv = ctx.dn_dx_dvolume(g, std::span<double>(grads, 2));
    const std::span<const double> n = ctx.n_at_g(g);
    f(Vec4{grads[0], -n[0], grads[1], -n[1]}, dv);
  }
}

// |x2 − x1| along the beam's axis; "Timoshenko: cell {} has zero length (nodes {} and
// {} coincide)" when it is 0 (the derivatives would divide by it).
double beam_length(const CellContext& ctx) {
  const double length = std::abs(ctx.node_coords(1)[0] - ctx.node_coords(0)[0]);
  kernel::require_length(ctx, length, "Timoshenko");
  return length;
}

void add_outer(std::span<double> k, const Vec4& b, double x) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) k[i * 4 + j] += x * b[i] * b[j];
}

}  // namespace

std::vector<BlockRecipe> Timoshenko::block_recipes(OperatorKind kind,
                                                   const std::optional<ZoneHandle>& material) const {
  if (layout(kind)) kernel::check_cells(bending(), [](const CellContext& ctx) { beam_length(ctx); });
  return ModelKind::block_recipes(kind, material);
}

SubNodeField Timoshenko::build_internal_forces(const ZoneHandle& stress) const {
  kernel::check_cells(bending(), [](const CellContext& ctx) { beam_length(ctx); });
  return ModelKind::build_internal_forces(stress);
}

void Timoshenko::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                                std::span<double> out) const {
  const SubElementField& mat = law_material(material);
  const std::uint64_t c = ctxs[0].cell();
  const double e = mat.value(c, 0, "E");
  const double i = mat.value(c, 0, "I");
  const double g = mat.value(c, 0, "G");
  const double as = mat.value(c, 0, "A_s");
  beam_length(ctxs[0]);
  bending_points(ctxs[0], [&](std::uint64_t, const Vec4& b, double dv) { add_outer(out, b, e * i * dv); });
  shear_points(ctxs[1], [&](const Vec4& b, double dv) { add_outer(out, b, g * as * dv); });
}

void Timoshenko::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                              std::span<double> out) const {
  if (!material) throw Error::message("Timoshenko requires a material field");
  const CellContext& ctx = ctxs.front();
  const double length = beam_length(ctx);
  const double rho = kernel::required_density(*material, ctx.cell(), "Timoshenko");
  const double a = material->value(ctx.cell(), 0, "A");
  const double i = material->value(ctx.cell(), 0, "I");
  kernel::add_two_node_mass(out, 4, 0, 2, rho * a * length / 6.0);
  kernel::add_two_node_mass(out, 4, 1, 3, rho * i * length / 6.0);
}

void Timoshenko::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                         std::span<double> out) const {
  const std::uint64_t c = ctxs[0].cell();
  beam_length(ctxs[0]);
  bending_points(ctxs[0], [&](std::uint64_t g, const Vec4& b, double dv) {
    const double m = stress.value(c, g, "M") * dv;
    for (int k = 0; k < 4; ++k) out[k] += m * b[k];
  });
  const double v = stress.value(c, 0, "V");
  shear_points(ctxs[1], [&](const Vec4& b, double dv) {
    for (int k = 0; k < 4; ++k) out[k] += v * dv * b[k];
  });
}

void Timoshenko::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                                 const SubElementField* materials, std::uint64_t g, std::optional<double>,
                                 std::span<double> out) const {
  const SubElementField& mat = law_material(materials);
  const std::uint64_t c = ctx.cell();
  const double e = mat.value(c, 0, "E");
  const double i = mat.value(c, 0, "I");
  const double gm = mat.value(c, 0, "G");
  const double as = mat.value(c, 0, "A_s");
  out[0] = e * i * deformation.value(c, g, "kappa");
  out[1] = gm * as * deformation.value(c, g, "gamma");
}

}  // namespace quenlith::models
