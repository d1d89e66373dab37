#include "containers/finite_element_space/geometry.hpp"

#include <cassert>
#include <cmath>

#include "base/error.hpp"

namespace quenlith::containers::finite_element_space {

namespace {
constexpr double kEpsilon = 2.220446049250313e-16;

// Every reference dimension is 1, 2 or 3; the fixed-size temporaries below rely on it.
void check_order(std::size_t n) {
  if (n < 1 || n > 3) throw Error::message("det_small: only n ∈ {1,2,3} supported");
}
}  // namespace

void jacobian_from_nodes(std::span<const double> x, std::span<const double> d, std::size_t s, std::size_t r,
                         std::size_t npc, std::span<double> out) {
  assert(x.size() >= npc * s && d.size() >= npc * r && out.size() >= s * r);
  for (std::size_t a = 0; a < s; ++a)
    for (std::size_t k = 0; k < r; ++k) {
      double sum = 0.0;
      for (std::size_t m = 0; m < npc; ++m) sum += x[m * s + a] * d[m * r + k];
      out[a * r + k] = sum;
    }
}

std::vector<double> jacobian_from_nodes(std::span<const double> x, std::span<const double> d, std::size_t s,
                                        std::size_t r, std::size_t npc) {
  std::vector<double> j(s * r);
  jacobian_from_nodes(x, d, s, r, npc, j);
  return j;
}

void gram_matrix(std::span<const double> j, std::size_t s, std::size_t r, std::span<double> out) {
  assert(j.size() >= s * r && out.size() >= r * r);
  for (std::size_t k = 0; k < r; ++k)
    for (std::size_t l = 0; l < r; ++l) {
      double sum = 0.0;
      for (std::size_t a = 0; a < s; ++a) sum += j[a * r + k] * j[a * r + l];
      out[k * r + l] = sum;
    }
}

std::vector<double> gram_matrix(std::span<const double> j, std::size_t s, std::size_t r) {
  std::vector<double> g(r * r);
  gram_matrix(j, s, r, g);
  return g;
}

double det_small(std::span<const double> g, std::size_t n) {
  switch (n) {
    case 1: return g[0];
    case 2: return g[0] * g[3] - g[1] * g[2];
    case 3:
      return g[0] * (g[4] * g[8] - g[5] * g[7]) - g[1] * (g[3] * g[8] - g[5] * g[6]) +
             g[2] * (g[3] * g[7] - g[4] * g[6]);
    default: throw Error::message("det_small: only n ∈ {1,2,3} supported");
  }
}

// An absolute threshold on det(J^T J) would call a 4 mm hexahedron in metres singular
// (det = h^6); comparing with the cell's own scale keeps the test about shape only.
bool gram_is_singular(std::span<const double> g, std::size_t n, double det) {
  double trace = 0.0;
  for (std::size_t k = 0; k < n; ++k) trace += g[k * n + k];
  const double mean = trace / static_cast<double>(n);
  double scale = 1.0;
  for (std::size_t k = 0; k < n; ++k) scale *= mean;
  // det == 0 also catches J == 0, whose scale is 0 as well.
  return std::abs(det) < kEpsilon * scale || det == 0.0;
}

double inverse_small(std::span<const double> g, std::size_t n, std::span<double> out) {
  check_order(n);
  const double det = det_small(g, n);
  if (gram_is_singular(g, n, det)) throw Error::message("inverse_small: singular matrix");
  switch (n) {
    case 1: out[0] = 1.0 / g[0]; break;
    case 2:
      out[0] = g[3] / det;
      out[1] = -g[1] / det;
      out[2] = -g[2] / det;
      out[3] = g[0] / det;
      break;
    case 3:
      // Adjugate (transposed cofactors) over the determinant.
      out[0] = (g[4] * g[8] - g[5] * g[7]) / det;
      out[1] = -(g[1] * g[8] - g[2] * g[7]) / det;
      out[2] = (g[1] * g[5] - g[2] * g[4]) / det;
      out[3] = -(g[3] * g[8] - g[5] * g[6]) / det;
      out[4] = (g[0] * g[8] - g[2] * g[6]) / det;
      out[5] = -(g[0] * g[5] - g[2] * g[3]) / det;
      out[6] = (g[3] * g[7] - g[4] * g[6]) / det;
      out[7] = -(g[0] * g[7] - g[1] * g[6]) / det;
      out[8] = (g[0] * g[4] - g[1] * g[3]) / det;
      break;
  }
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
  for (std::size_t a = 0; a < s; ++a)
    for (std::size_t k = 0; k < r; ++k) {
      double sum = 0.0;
      for (std::size_t l = 0; l < r; ++l) sum += j[a * r + l] * g_inv[l * r + k];
      p[a * r + k] = sum;
    }
  for (std::size_t m = 0; m < npc; ++m)
    for (std::size_t a = 0; a < s; ++a) {
      double sum = 0.0;
      for (std::size_t k = 0; k < r; ++k) sum += p[a * r + k] * d[m * r + k];
      out[m * s + a] = sum;
    }
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
  const double det = det_small(std::span<const double>(g, r * r), r);
  return det > 0.0 ? std::sqrt(det) : 0.0;
}

}  // namespace quenlith::containers::finite_element_space
