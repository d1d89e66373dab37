#include "models/kernel/cell_context.hpp"

#include "base/error.hpp"
#include "containers/finite_element_space/geometry.hpp"

namespace quenlith::models::kernel {

std::span<const double> CellContext::coords() const {
  const std::uint64_t n = nodes_per_cell() * space_dim();
  if (!filled_) {
    // The cache and the Jacobians live on the stack, sized for three dimensions; a
    // subspace may sit in a larger Coords, which no kernel can integrate.
    QUENLITH_VERIFY(space_dim() <= 3, "cell geometry: a {}-D space is not supported (1-D to 3-D only)", space_dim());
    geometry_->node_coords(cell_, std::span<double>(cache_.data(), n));
    filled_ = true;
  }
  return std::span<const double>(cache_.data(), n);
}

std::span<const double> CellContext::node_coords(std::uint64_t i) const {
  const std::uint64_t s = space_dim();
  return coords().subspan(i * s, s);
}

void CellContext::dn_dx(std::uint64_t g, std::span<double> out) const {
  double j[9];
  geometry_->dn_dx(coords(), g, j, out);
}

double CellContext::dvolume(std::uint64_t g) const {
  double j[9];
  geometry_->jacobian(coords(), g, j);
  return containers::finite_element_space::measure_from_jacobian(std::span<const double>(j, space_dim() * ref_dim()),
                                                                 space_dim(), ref_dim()) *
         gauss_weight(g);
}

double CellContext::dn_dx_dvolume(std::uint64_t g, std::span<double> out) const {
  namespace fes = containers::finite_element_space;
  const std::uint64_t s = space_dim(), r = ref_dim(), npc = nodes_per_cell();
  double j[9];
  const std::span<const double> d = space_->dn_at_g(g);
  fes::jacobian_from_nodes(coords(), d, s, r, npc, j);
  const std::span<const double> jac(j, s * r);
  fes::dn_dx_from_jacobian(jac, d, s, r, npc, out);
  return fes::measure_from_jacobian(jac, s, r) * gauss_weight(g);
}

}  // namespace quenlith::models::kernel
