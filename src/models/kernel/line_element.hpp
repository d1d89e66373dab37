#pragma once
// Small pieces the bar and beam kernels share: the refusal of a zero-length cell, the
// material read of their mass kernels, the two-node consistent-mass pattern, and the
// rotation of a local element matrix to global axes by a block-diagonal
// T = diag(R, ..., R) of 3 x 3 blocks.
#include <cstdint>
#include <span>
#include <string_view>

#include <Eigen/Core>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "models/kernel/cell_context.hpp"
#include "parallel/function_ref.hpp"
#include "store/handle.hpp"

namespace quenlith::models::kernel {

// "{kind}: cell {} has zero length (nodes {} and {} coincide)", naming the context's
// cell and its local nodes 0 and 1.
[[noreturn]] void throw_zero_length(const CellContext& ctx, std::string_view kind);

// Refuses a bar or beam cell of zero `length` (its length as the kind computes it
// from local nodes 0 and 1). Every line kernel divides by the length, directly or
// through a Jacobian: two coincident end nodes would give NaN or infinite entries
// without a word, or a bare "singular matrix".
inline void require_length(const CellContext& ctx, double length, std::string_view kind) {
  if (length == 0.0) [[unlikely]]
    throw_zero_length(ctx, kind);
}

// Runs `check` on every cell of `fespace` (a context per cell) and throws the failure
// of the lowest failing cell, whatever the number of threads. The kernels meet cells
// colour by colour, so a check of theirs alone could name any of several bad cells:
// a kind runs this scan before its blocks are made so that the first one is named,
// and so that nothing is stored. Guard errors of the subspace thrown.
void check_cells(const store::Handle<containers::finite_element_space::SubFiniteElementSpace>& fespace,
                 parallel::FunctionRef<void(const CellContext& ctx)> check);

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
