#include "containers/finite_element_space/geometry.hpp"

#include <cassert>
#include <cmath>

#include "base/error.hpp"

namespace quenlith::containers::finite_element_space {

namespace {
// Every reference dimension is 1, 2 or 3; the fixed-size temporaries below rely on it.
void check_order(std::size_t n) {
  if (n < 1 || n > 3) throw Error::message("det_small: only n ∈ {1,2,3} supported");
}
}  // namespace

void jacobian_from_nodes(std::span<const double> x, std::span<const double> d, std::size_t s, std::size_t r,
                         std::size_t npc, std::span<double> out) {
  assert(x.size() >= npc * s && d.size() >= npc * r && out.size() >= s * r);
  fixed::jacobian<double, 0, 0, 0>(x.data(), d.data(), s, r, npc, out.data());
}

std::vector<double> jacobian_from_nodes(std::span<const double> x, std::span<const double> d, std::size_t s,
                                        std::size_t r, std::size_t npc) {
  std::vector<double> j(s * r);
  jacobian_from_nodes(x, d, s, r, npc, j);
  return j;
}

void gram_matrix(std::span<const double> j, std::size_t s, std::size_t r, std::span<double> out) {
  assert(j.size() >= s * r && out.size() >= r * r);
  fixed::gram<double, 0, 0>(j.data(), s, r, out.data());
}

std::vector<double> gram_matrix(std::span<const double> j, std::size_t s, std::size_t r) {
  std::vector<double> g(r * r);
  gram_matrix(j, s, r, g);
  return g;
}

double det_small(std::span<const double> g, std::size_t n) {
  check_order(n);
  return fixed::det<double, 0>(g.data(), n);
}

// An absolute threshold on det(J^T J) would call a 4 mm hexahedron in metres singular
// (det = h^6); comparing with the cell's own scale keeps the test about shape only.
// det == 0 also catches J == 0, whose scale is 0 as well.
bool gram_is_singular(std::span<const double> g, std::size_t n, double det) {
  return fixed::singular<0>(g.data(), n, det);
}

double inverse_small(std::span<const double> g, std::size_t n, std::span<double> out) {
  check_order(n);
  const double det = fixed::det<double, 0>(g.data(), n);
  if (fixed::singular<0>(g.data(), n, det)) throw Error::message("inverse_small: singular matrix");
  fixed::inverse<double, 0>(g.data(), n, det, out.data());
  return det;
}

void dn_dx_from_jacobian(std::span<const double> j, std::span<const double> d, std::size_t s, std::size_t r,
                         std::size_t npc, std::span<double> out) {
  check_order(r);
  assert(r <= s);
  assert(d.size() >= npc * r && out.size() >= npc * s);
  double g[9];
  double g_inv[9];
  gram_matrix(j, s, r, std::span<double>(g, r * r));
  inverse_small(std::span<const double>(g, r * r), r, std::span<double>(g_inv, r * r));
  // P = J * G^-1 (s x r); s may be large, so P lives in a small vector only when needed.
  constexpr std::size_t kInline = 3 * 3;
  double p_inline[kInline];
  std::vector<double> p_heap;
  double* p = p_inline;
  if (s * r > kInline) {
    p_heap.resize(s * r);
    p = p_heap.data();
  }
  fixed::dn_dx<double, 0, 0, 0>(j.data(), g_inv, d.data(), s, r, npc, p, out.data());
}

std::vector<double> dn_dx_from_jacobian(std::span<const double> j, std::span<const double> d, std::size_t s,
                                        std::size_t r, std::size_t npc) {
  std::vector<double> out(npc * s);
  dn_dx_from_jacobian(j, d, s, r, npc, out);
  return out;
}

double measure_from_jacobian(std::span<const double> j, std::size_t s, std::size_t r) {
  check_order(r);
  double g[9];
  gram_matrix(j, s, r, std::span<double>(g, r * r));
  return fixed::measure(fixed::det<double, 0>(g, r));
}

}  // namespace quenlith::containers::finite_element_space
