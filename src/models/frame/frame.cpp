#include "models/frame/frame.hpp"

#include <cmath>

#include "base/error.hpp"
#include "models/kernel/line_element.hpp"

namespace quenlith::models {

Frame Frame::create(SpaceHandle fespace) {
  MeshHandle support = node_cloud_of(beam_space_facts("Frame", fespace, 2, "planar frame").submesh);
  return Frame(std::move(fespace), std::move(support));
}

std::unique_ptr<ModelKind> Frame::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  return std::unique_ptr<ModelKind>(new Frame(std::move(h.fespace), std::move(h.support)));
}

Eigen::Matrix<double, 6, 6> frame_local_stiffness(double ea, double ei, double gas, double length) {
  const double ka = ea / length, kb = ei / length, ks = gas / length, h = gas / 2.0, kt = gas * length / 4.0;
  Eigen::Matrix<double, 6, 6> k;
  k << ka, 0, 0, -ka, 0, 0,  //
      0, ks, h, 0, -ks, h,   //
      0, h, kt + kb, 0, -h, kt - kb,  //
      -ka, 0, 0, ka, 0, 0,            //
      0, -ks, -h, 0, ks, -h,          //
      0, h, kt - kb, 0, -h, kt + kb;
  return k;
}

namespace {

struct PlanarGeometry {
  double length;
  Eigen::Matrix3d r;  // local = r * global on (u_x, u_y, rz)
};

PlanarGeometry frame_geometry(const CellContext& ctx) {
  const std::span<const double> x1 = ctx.node_coords(0);
  const std::span<const double> x2 = ctx.node_coords(1);
  const double dx = x2[0] - x1[0], dy = x2[1] - x1[1];
  PlanarGeometry g;
  g.length = std::sqrt(dy * dy + dx * dx);
  kernel::require_length(ctx, g.length, "Frame");
  const double c = dx / g.length, s = dy / g.length;
  g.r << c, s, 0, -s, c, 0, 0, 0, 1;
  return g;
}

const SubElementField& frame_material(const SubElementField* material) {
  if (!material) throw Error::message("Frame requires a material field");
  return *material;
}

}  // namespace

std::vector<BlockRecipe> Frame::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const {
  if (layout(kind)) kernel::check_cells(fespace(), [](const CellContext& ctx) { frame_geometry(ctx); });
  return ModelKind::block_recipes(kind, material);
}

void Frame::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                           std::span<double> out) const {
  const SubElementField& mat = frame_material(material);
  const CellContext& ctx = ctxs.front();
  const PlanarGeometry geo = frame_geometry(ctx);
  const std::uint64_t cell = ctx.cell();
  const double e = mat.value(cell, 0, "E");
  const double a = mat.value(cell, 0, "A");
  const double i = mat.value(cell, 0, "I");
  const double g = mat.value(cell, 0, "G");
  const double as = mat.value(cell, 0, "A_s");
  kernel::add_rotated<6>(frame_local_stiffness(e * a, e * i, g * as, geo.length), geo.r, out);
}

void Frame::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                         std::span<double> out) const {
  const SubElementField& mat = frame_material(material);
  const CellContext& ctx = ctxs.front();
  const PlanarGeometry geo = frame_geometry(ctx);
  const double rho = kernel::required_density(mat, ctx.cell(), "Frame");
  const double a = mat.value(ctx.cell(), 0, "A");
  const double i = mat.value(ctx.cell(), 0, "I");
  const double mt = rho * a * geo.length / 6.0, mr = rho * i * geo.length / 6.0;
  Eigen::Matrix<double, 6, 6> m = Eigen::Matrix<double, 6, 6>::Zero();
  const std::span<double> local(m.data(), 36);  // symmetric: storage order does not matter
  kernel::add_two_node_mass(local, 6, 0, 3, mt);
  kernel::add_two_node_mass(local, 6, 1, 4, mt);
  kernel::add_two_node_mass(local, 6, 2, 5, mr);
  kernel::add_rotated<6>(m, geo.r, out);
}

void Frame::element_geometric(std::span<const CellContext> ctxs, const SubElementField*,
                              const SubElementField* state, std::span<double> out) const {
  if (!state) throw Error::message("frame geometric stiffness requires the axial force `N`");
  const CellContext& ctx = ctxs.front();
  const PlanarGeometry geo = frame_geometry(ctx);
  const double kg = state->value(ctx.cell(), 0, "N") / geo.length;
  Eigen::Matrix<double, 6, 6> k = Eigen::Matrix<double, 6, 6>::Zero();
  k(1, 1) = k(4, 4) = kg;
  k(1, 4) = k(4, 1) = -kg;
  kernel::add_rotated<6>(k, geo.r, out);
}

void Frame::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                    std::span<double> out) const {
  kernel::refuse_continuum_stress(stress, "Frame");
  ModelKind::element_internal_forces(ctxs, stress, out);
}

void Frame::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                            const SubElementField* materials, std::uint64_t g, std::optional<double>,
                            std::span<double> out) const {
  if (!materials) throw Error::message("Frame declares a material_fespace \u21d2 material is supplied");
  const std::uint64_t cell = ctx.cell();
  const double e = materials->value(cell, 0, "E");
  const double a = materials->value(cell, 0, "A");
  const double i = materials->value(cell, 0, "I");
  const double gm = materials->value(cell, 0, "G");
  const double as = materials->value(cell, 0, "A_s");
  out[0] = e * a * deformation.value(cell, g, "eps");
  out[1] = e * i * deformation.value(cell, g, "kappa");
  out[2] = gm * as * deformation.value(cell, g, "gamma");
}

}  // namespace quenlith::models
