#include "models/frame3d/frame3d.hpp"

#include <cmath>

#include <Eigen/Geometry>

#include "base/error.hpp"
#include "models/kernel/line_element.hpp"

namespace quenlith::models {

Frame3d Frame3d::create(SpaceHandle fespace) {
  MeshHandle support = node_cloud_of(beam_space_facts("Frame3d", fespace, 3, "space frame").submesh);
  return Frame3d(std::move(fespace), std::move(support));
}

std::unique_ptr<ModelKind> Frame3d::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  return std::unique_ptr<ModelKind>(new Frame3d(std::move(h.fespace), std::move(h.support)));
}

Eigen::Matrix3d frame3d_local_axes(const Eigen::Vector3d& d) {
  const Eigen::Vector3d e1 = d / d.norm();
  const Eigen::Vector3d r = std::abs(e1.z()) > 0.999 ? Eigen::Vector3d(0, 1, 0) : Eigen::Vector3d(0, 0, 1);
  const Eigen::Vector3d c = r.cross(e1);
  const Eigen::Vector3d e2 = c / c.norm();
  const Eigen::Vector3d e3 = e1.cross(e2);
  Eigen::Matrix3d m;
  m.row(0) = e1;
  m.row(1) = e2;
  m.row(2) = e3;
  return m;
}

Eigen::Matrix<double, 12, 12> frame3d_local_stiffness(const Frame3dSection& s, double length) {
  Eigen::Matrix<double, 12, 12> k = Eigen::Matrix<double, 12, 12>::Zero();
  const double l = length;
  const auto pair = [&](int a, int b, double v) {
    k(a, a) += v;
    k(b, b) += v;
    k(a, b) -= v;
    k(b, a) -= v;
  };
  pair(0, 6, s.e * s.a / l);
  pair(3, 9, s.g * s.j / l);
  // Bending in one plane: transverse displacement index t, rotation index q, and the
  // sign of the rotation-displacement coupling (+ for x-y, − for x-z).
  const auto plane = [&](int t, int q, double inertia, double shear_area, double sign) {
    const double phi = 12.0 * s.e * inertia / (s.g * shear_area * l * l);
    const double f = s.e * inertia / (1.0 + phi);
    const double k1 = 12.0 * f / (l * l * l), k2 = sign * 6.0 * f / (l * l);
    const double k3 = (4.0 + phi) * f / l, k4 = (2.0 - phi) * f / l;
    const int t2 = t + 6, q2 = q + 6;
    k(t, t) = k(t2, t2) = k1;
    k(t, t2) = k(t2, t) = -k1;
    k(t, q) = k(q, t) = k(t, q2) = k(q2, t) = k2;
    k(q, t2) = k(t2, q) = k(t2, q2) = k(q2, t2) = -k2;
    k(q, q) = k(q2, q2) = k3;
    k(q, q2) = k(q2, q) = k4;
  };
  plane(1, 5, s.i_z, s.a_sy, 1.0);
  plane(2, 4, s.i_y, s.a_sz, -1.0);
  return k;
}

namespace {

struct SpaceGeometry {
  double length;
  Eigen::Matrix3d r;
};

SpaceGeometry space_geometry(const CellContext& ctx) {
  const std::span<const double> x1 = ctx.node_coords(0);
  const std::span<const double> x2 = ctx.node_coords(1);
  const Eigen::Vector3d d(x2[0] - x1[0], x2[1] - x1[1], x2[2] - x1[2]);
  const double length = std::sqrt(d.x() * d.x() + d.y() * d.y() + d.z() * d.z());
  kernel::require_length(ctx, length, "Frame3d");
  return {length, frame3d_local_axes(d)};
}

const SubElementField& frame3d_material(const SubElementField* material) {
  if (!material) throw Error::message("Frame3d requires a material field");
  return *material;
}

}  // namespace

std::vector<BlockRecipe> Frame3d::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const {
  if (layout(kind)) kernel::check_cells(fespace(), [](const CellContext& ctx) { space_geometry(ctx); });
  return ModelKind::block_recipes(kind, material);
}

void Frame3d::element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                             std::span<double> out) const {
  const SubElementField& mat = frame3d_material(material);
  const CellContext& ctx = ctxs.front();
  const SpaceGeometry geo = space_geometry(ctx);
  const std::uint64_t c = ctx.cell();
  Frame3dSection s{};
  s.e = mat.value(c, 0, "E");
  s.a = mat.value(c, 0, "A");
  s.g = mat.value(c, 0, "G");
  s.j = mat.value(c, 0, "J");
  s.i_y = mat.value(c, 0, "I_y");
  s.i_z = mat.value(c, 0, "I_z");
  s.a_sy = mat.value(c, 0, "A_sy");
  s.a_sz = mat.value(c, 0, "A_sz");
  kernel::add_rotated<12>(frame3d_local_stiffness(s, geo.length), geo.r, out);
}

void Frame3d::element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                           std::span<double> out) const {
  const SubElementField& mat = frame3d_material(material);
  const CellContext& ctx = ctxs.front();
  const SpaceGeometry geo = space_geometry(ctx);
  const std::uint64_t c = ctx.cell();
  const double rho = kernel::required_density(mat, c, "Frame3d");
  const double a = mat.value(c, 0, "A");
  const double i_y = mat.value(c, 0, "I_y");
  const double i_z = mat.value(c, 0, "I_z");
  const double l6 = rho * geo.length / 6.0;
  Eigen::Matrix<double, 12, 12> m = Eigen::Matrix<double, 12, 12>::Zero();
  const std::span<double> local(m.data(), 144);  // symmetric: storage order does not matter
  const double per_dof[6] = {a * l6, a * l6, a * l6, (i_y + i_z) * l6, i_y * l6, i_z * l6};
  for (std::uint64_t k = 0; k < 6; ++k) kernel::add_two_node_mass(local, 12, k, k + 6, per_dof[k]);
  kernel::add_rotated<12>(m, geo.r, out);
}

void Frame3d::element_geometric(std::span<const CellContext> ctxs, const SubElementField*,
                                const SubElementField* state, std::span<double> out) const {
  if (!state) throw Error::message("frame3d geometric stiffness requires the axial force `N`");
  const CellContext& ctx = ctxs.front();
  const SpaceGeometry geo = space_geometry(ctx);
  const double kg = state->value(ctx.cell(), 0, "N") / geo.length;
  Eigen::Matrix<double, 12, 12> k = Eigen::Matrix<double, 12, 12>::Zero();
  for (int t : {1, 2}) {
    k(t, t) = k(t + 6, t + 6) = kg;
    k(t, t + 6) = k(t + 6, t) = -kg;
  }
  kernel::add_rotated<12>(k, geo.r, out);
}

void Frame3d::element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                      std::span<double> out) const {
  kernel::refuse_continuum_stress(stress, "Frame3d");
  ModelKind::element_internal_forces(ctxs, stress, out);
}

void Frame3d::gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField*,
                              const SubElementField* materials, std::uint64_t g, std::optional<double>,
                              std::span<double> out) const {
  if (!materials) throw Error::message("Frame3d declares a material_fespace \u21d2 material is supplied");
  const std::uint64_t c = ctx.cell();
  const double e = materials->value(c, 0, "E");
  const double gm = materials->value(c, 0, "G");
  const double a = materials->value(c, 0, "A");
  // Each section's stiffness is read before its strain, one section after the other:
  // the first missing name is the one reported.
  const auto section = [&](double modulus, std::string_view property, std::string_view strain) {
    const double k = modulus * materials->value(c, 0, property);
    return k * deformation.value(c, g, strain);
  };
  out[0] = e * a * deformation.value(c, g, "eps");
  out[1] = section(e, "I_y", "kappa_y");
  out[2] = section(e, "I_z", "kappa_z");
  out[3] = section(gm, "J", "torsion");
  out[4] = section(gm, "A_sy", "gamma_y");
  out[5] = section(gm, "A_sz", "gamma_z");
}

}  // namespace quenlith::models
