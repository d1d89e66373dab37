#pragma once
// Element geometry: Jacobian, measure and physical derivatives of one cell at one point.
//
// One definition serves every space dimension s >= 1 and reference dimension
// r in {1, 2, 3} with r <= s: lines and surfaces embedded in a larger space are
// handled through the Gram matrix G = J^T J, never through det J. Consequently the
// measure is never negative (orientation does not matter) and the physical
// derivatives of a line or surface cell are tangential gradients with s components.
//
// Layouts (flat, row-major):
//   X  node coordinates   npc x s, node-major (node m at m*s .. m*s+s-1)
//   D  reference derivs   npc x r, entry m*r + k = dN_m / dxi_k
//   J  Jacobian           s x r,   entry a*r + k = dx_a / dxi_k
//   G  Gram matrix        r x r
//   dN/dx                 npc x s, entry m*s + a = dN_m / dx_a
//
// Each routine exists in two forms: one writing into a caller-sized output span
// (no allocation, for kernels) and one returning a fresh vector. Summation orders are
// fixed (node order, space-coordinate order, each sum from 0.0) so that every caller
// gets the same bits. No locks, no shared state: safe inside parallel loops.
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace quenlith::containers::finite_element_space {

// J[a][k] = sum over nodes m of X[m][a] * D[m][k]; npc == 0 gives zeros. out: s*r values.
void jacobian_from_nodes(std::span<const double> x, std::span<const double> d, std::size_t s, std::size_t r,
                         std::size_t npc, std::span<double> out);
std::vector<double> jacobian_from_nodes(std::span<const double> x, std::span<const double> d, std::size_t s,
                                        std::size_t r, std::size_t npc);

// G[k][l] = sum over a of J[a][k] * J[a][l]. out: r*r values.
void gram_matrix(std::span<const double> j, std::size_t s, std::size_t r, std::span<double> out);
std::vector<double> gram_matrix(std::span<const double> j, std::size_t s, std::size_t r);

// Determinant of an n x n matrix, n in {1, 2, 3}; other n throw Error
// "det_small: only n ∈ {1,2,3} supported".
double det_small(std::span<const double> g, std::size_t n);

// True when the symmetric n x n matrix G (n in {1, 2, 3}) with determinant `det` is
// singular at its own scale: |det| < eps * (trace(G) / n)^n, or det == 0. For a Gram
// matrix det <= (trace / n)^n (AM-GM on its eigenvalues), so the test reads the shape
// of the cell, not its size: J = h I passes at every h. A NaN det is not singular.
bool gram_is_singular(std::span<const double> g, std::size_t n, double det);

// Inverse of a symmetric n x n matrix (n in {1, 2, 3}): 1/G0, (G3, -G1, -G2, G0)/det,
// or the adjugate / det. Throws Error "inverse_small: singular matrix" when
// gram_is_singular. Returns det(G). out: n*n values.
double inverse_small(std::span<const double> g, std::size_t n, std::span<double> out);

// dN/dx = D * G^-1 * J^T with G = J^T J. Throws Error "inverse_small: singular
// matrix" when G is singular (see gram_is_singular). out: npc*s values.
void dn_dx_from_jacobian(std::span<const double> j, std::span<const double> d, std::size_t s, std::size_t r,
                         std::size_t npc, std::span<double> out);
std::vector<double> dn_dx_from_jacobian(std::span<const double> j, std::span<const double> d, std::size_t s,
                                        std::size_t r, std::size_t npc);

// The integration factor |J|: sqrt(det(G)) when det(G) > 0, else 0 (negative and NaN
// determinants included). Never fails.
double measure_from_jacobian(std::span<const double> j, std::size_t s, std::size_t r);

// The same arithmetic with the sizes known to the compiler: S, R, NPC > 0 fix s, r
// and npc (the run-time arguments are then ignored), 0 leaves them to the run-time
// arguments. The routines above are these with every size 0, so both forms give the
// same bits. Pointers to plain arrays of the layouts above; s <= 3 unless S == 0
// goes through the span forms.
//
// The per-point values (reference derivatives, J, G, dN/dx, measures) are of type V:
// double, or Pair, two points at once, lane by lane the very operations of one
// (SSE2 packed arithmetic, part of every x86-64 processor: the same IEEE results as
// the scalar instructions).
namespace fixed {

constexpr double kEpsilon = 2.220446049250313e-16;

using Pair = double __attribute__((vector_size(16)));

// out(i, j) = sum over k of a(i, k) * b(k, j), each sum from 0 in k order: the
// one small product of this file, every operand given by its strides (I, J, K > 0
// fix the extents ni, nj, nk).
template <std::size_t I, std::size_t J, std::size_t K, class A, class B, class V>
[[gnu::always_inline]] inline void product(std::size_t ni, std::size_t nj, std::size_t nk, const A* a, std::size_t a_i,
                                           std::size_t a_k, const B* b, std::size_t b_k, std::size_t b_j, V* out,
                                           std::size_t out_i, std::size_t out_j) {
  const std::size_t ni_ = I ? I : ni, nj_ = J ? J : nj, nk_ = K ? K : nk;
#pragma GCC unroll 27
  for (std::size_t i = 0; i < ni_; ++i)
#pragma GCC unroll 27
    for (std::size_t j = 0; j < nj_; ++j) {
      V sum{};
#pragma GCC unroll 27
      for (std::size_t k = 0; k < nk_; ++k) sum += a[i * a_i + k * a_k] * b[k * b_k + j * b_j];
      out[i * out_i + j * out_j] = sum;
    }
}

// J[a][k] = sum over m of X[m][a] * D[m][k].
template <class V, std::size_t S, std::size_t R, std::size_t NPC, class X, class D>
[[gnu::always_inline]] inline void jacobian(const X* x, const D* d, std::size_t s, std::size_t r, std::size_t npc,
                                            V* out) {
  const std::size_t s_ = S ? S : s, r_ = R ? R : r;
  product<S, R, NPC>(s_, r_, npc, x, 1, s_, d, r_, 1, out, r_, 1);
}

// G[k][l] = sum over a of J[a][k] * J[a][l].
template <class V, std::size_t S, std::size_t R>
[[gnu::always_inline]] inline void gram(const V* j, std::size_t s, std::size_t r, V* out) {
  const std::size_t r_ = R ? R : r;
  product<R, R, S>(r_, r_, s, j, 1, r_, j, r_, 1, out, r_, 1);
}

// n in {1, 2, 3}.
template <class V, std::size_t N>
[[gnu::always_inline]] inline V det(const V* g, std::size_t n) {
  switch (N ? N : n) {
    case 1: return g[0];
    case 2: return g[0] * g[3] - g[1] * g[2];
    default:
      return g[0] * (g[4] * g[8] - g[5] * g[7]) - g[1] * (g[3] * g[8] - g[5] * g[6]) +
             g[2] * (g[3] * g[7] - g[4] * g[6]);
  }
}

// gram_is_singular, of one point.
template <std::size_t N>
[[gnu::always_inline]] inline bool singular(const double* g, std::size_t n, double det) {
  const std::size_t n_ = N ? N : n;
  double trace = 0.0;
#pragma GCC unroll 3
  for (std::size_t k = 0; k < n_; ++k) trace += g[k * n_ + k];
  const double mean = trace / static_cast<double>(n_);
  double scale = 1.0;
#pragma GCC unroll 3
  for (std::size_t k = 0; k < n_; ++k) scale *= mean;
  return std::abs(det) < kEpsilon * scale || det == 0.0;
}
// Of either point of a pair.
template <std::size_t N>
[[gnu::always_inline]] inline bool singular(const Pair* g, std::size_t n, Pair det) {
  const std::size_t n_ = N ? N : n;
  Pair trace{};
#pragma GCC unroll 3
  for (std::size_t k = 0; k < n_; ++k) trace += g[k * n_ + k];
  const Pair mean = trace / static_cast<double>(n_);
  Pair scale = Pair{} + 1.0;
#pragma GCC unroll 3
  for (std::size_t k = 0; k < n_; ++k) scale *= mean;
  const Pair magnitude{std::abs(det[0]), std::abs(det[1])};
  const auto bad = (magnitude < kEpsilon * scale) | (det == 0.0);
  return bad[0] != 0 || bad[1] != 0;
}

// The inverse of a non-singular G (n in {1, 2, 3}) with determinant `det`.
template <class V, std::size_t N>
[[gnu::always_inline]] inline void inverse(const V* g, std::size_t n, V det, V* out) {
  switch (N ? N : n) {
    case 1: out[0] = 1.0 / g[0]; break;
    case 2:
      out[0] = g[3] / det;
      out[1] = -g[1] / det;
      out[2] = -g[2] / det;
      out[3] = g[0] / det;
      break;
    default:
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
}

// dN/dx from J and G^-1 (through P = J G^-1, s x r, into `p`): P[a][k] = sum over l
// of J[a][l] G^-1[l][k], then dN/dx[m][a] = sum over k of P[a][k] D[m][k].
template <class V, std::size_t S, std::size_t R, std::size_t NPC, class D>
[[gnu::always_inline]] inline void dn_dx(const V* j, const V* g_inv, const D* d, std::size_t s, std::size_t r,
                                         std::size_t npc, V* p, V* out) {
  const std::size_t s_ = S ? S : s, r_ = R ? R : r;
  product<S, R, R>(s_, r_, r_, j, r_, 1, g_inv, r_, 1, p, r_, 1);
  product<NPC, S, R>(npc, s_, r_, d, r_, 1, p, 1, r_, out, s_, 1);
}

// sqrt(det) when det > 0, else 0.
inline double measure(double det) { return det > 0.0 ? std::sqrt(det) : 0.0; }
inline Pair measure(Pair det) { return Pair{measure(det[0]), measure(det[1])}; }

// Everything a kernel needs at one point, s, r <= 3: dN/dx into `dn_dx_out` and the
// measure (measure_from_jacobian) into `measure_out`; false, with the measure set
// and dN/dx unwritten, when G is singular (where dn_dx_from_jacobian throws). With
// V = Pair, two at once: two points of one cell (Pair derivatives D, plain
// coordinates X) or one point of two cells (Pair coordinates, plain derivatives).
template <class V, std::size_t S, std::size_t R, std::size_t NPC, class X, class D>
[[gnu::always_inline]] inline bool point(const X* x, const D* d, std::size_t s, std::size_t r, std::size_t npc,
                                         V* dn_dx_out, V& measure_out) {
  V j[9], g[9], g_inv[9], p[9];
  jacobian<V, S, R, NPC>(x, d, s, r, npc, j);
  gram<V, S, R>(j, s, r, g);
  const V det_g = det<V, R>(g, r);
  measure_out = measure(det_g);
  if (singular<R>(g, r, det_g)) return false;
  inverse<V, R>(g, r, det_g, g_inv);
  dn_dx<V, S, R, NPC>(j, g_inv, d, s, r, npc, p, dn_dx_out);
  return true;
}

}  // namespace fixed

}  // namespace quenlith::containers::finite_element_space
