#pragma once
// Small pieces the bar and beam kernels share: the material read of their mass
// kernels, the two-node consistent-mass pattern, and the rotation of a local element
// matrix to global axes by a block-diagonal T = diag(R, ..., R) of 3 x 3 blocks.
#include <cstdint>
#include <span>
#include <string_view>

#include <Eigen/Core>

#include "containers/element_field/sub_element_field.hpp"

namespace quenlith::models::kernel {

// `rho` at (cell, Gauss point 0); any failure of the read becomes "{kind} mass
// matrix: material component `rho` (density) is required".
double required_density(const containers::element_field::SubElementField& materials, std::uint64_t cell,
                        std::string_view kind);

// Adds the consistent two-node pattern m * [[2, 1], [1, 2]] on the degrees of freedom
// i and j of the row-major n x n matrix `out`.
inline void add_two_node_mass(std::span<double> out, std::uint64_t n, std::uint64_t i, std::uint64_t j, double m) {
  out[i * n + i] += 2.0 * m;
  out[j * n + j] += 2.0 * m;
  out[i * n + j] += m;
  out[j * n + i] += m;
}

// Adds T^T (K_l T) into the row-major N x N buffer `out`, T block-diagonal with N / 3
// copies of `r` (local = r * global).
template <int N>
void add_rotated(const Eigen::Matrix<double, N, N>& local, const Eigen::Matrix3d& r, std::span<double> out) {
  static_assert(N % 3 == 0);
  Eigen::Matrix<double, N, N> t = Eigen::Matrix<double, N, N>::Zero();
  for (int b = 0; b < N / 3; ++b) t.template block<3, 3>(3 * b, 3 * b) = r;
  const Eigen::Matrix<double, N, N> kt = local * t;
  const Eigen::Matrix<double, N, N> global = t.transpose() * kt;
  for (int i = 0; i < N; ++i)
    for (int j = 0; j < N; ++j) out[static_cast<std::size_t>(i * N + j)] += global(i, j);
}

// Refuses, for a beam kind whose nodes carry rotations, a stress zone holding any
// continuum stress component ("sigma_..."): "{kind}: continuum stresses ({name}) have
// no internal-force kernel on a beam, whose nodes carry rotations".
void refuse_continuum_stress(const containers::element_field::SubElementField& stress, std::string_view kind);

}  // namespace quenlith::models::kernel
