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

}  // namespace quenlith::containers::finite_element_space
