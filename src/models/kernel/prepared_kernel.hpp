#pragma once
// PreparedKernel: a kind's element kernel of one operator, made ready once for the
// cells of one block, so that each cell costs only its own arithmetic.
//
// What the kernels of models/kernel redo for every cell (looking a material name up,
// sizing loops at run time, computing the Jacobian afresh at every Gauss point of a
// cell whose reference derivatives are the same at every point) a prepared kernel
// does once per block: names become indices, the sizes become template arguments,
// and where every Gauss point of the rule has the same reference derivatives (TRI3,
// TET4 and the other simplices of degree 1) the geometry of a cell is computed once,
// which gives the very bits of computing it at each point. A prepared kernel gives
// the same bits as the kind's own kernel; it is an evaluation strategy, never a
// second definition of the physics.
//
// A prepared kernel reads the block's first subspace through the caller's
// BlockCells and the zones through the caller's guards: it holds plain views, lent
// for the block's loop, and is called from many workers at once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>
#include <algorithm>

#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/geometry.hpp"

namespace quenlith::models::kernel {

class PreparedKernel {
 public:
  virtual ~PreparedKernel() = default;
  // Adds the element block of `cell` into the zero-filled `out` (the layout and
  // length of the kind's element_operator), the same bits as the kind's kernel on
  // that cell. False when the cell needs the kind's own kernel (a node not alive, a
  // singular Jacobian): `out` is then in any state and the caller zeroes it and runs
  // that kernel, which reports the error in its own order.
  virtual bool add_cell(std::uint64_t cell, std::span<double> out) const = 0;
  // Two cells at once, each into its own zero-filled block, each the bits of
  // add_cell; false when either needs the kind's own kernel (both blocks are then in
  // any state). By default, add_cell on each.
  virtual bool add_pair(std::uint64_t first, std::uint64_t second, std::span<double> out_first,
                        std::span<double> out_second) const {
    return add_cell(first, out_first) && add_cell(second, out_second);
  }
};

// The cells of a volume subspace (reference dimension = space dimension = S, NPC
// nodes per cell) as a prepared kernel reads them: node coordinates and, at each
// Gauss point, dN/dx and the integration weight, with the arithmetic of
// CellContext::dn_dx_dvolume (geometry.hpp's fixed forms).
template <std::size_t S, std::size_t NPC>
class FixedCells {
 public:
  using Pair = containers::finite_element_space::fixed::Pair;

  // `geometry` lent for this object's life.
  explicit FixedCells(const containers::finite_element_space::CellGeometry& geometry)
      : geometry_(&geometry), n_g_(geometry.gauss_count()), weights_(geometry.gauss_weights().data()) {
    d_ = geometry.dn_at_g(0).data();
    affine_ = true;
    for (std::uint64_t g = 1; g < n_g_ && affine_; ++g)
      affine_ = std::memcmp(geometry.dn_at_g(g).data(), d_, NPC * S * sizeof(double)) == 0;
    // Points g and g + 1 side by side; an odd last point is paired with itself.
    const std::uint64_t n_pairs = (n_g_ + 1) / 2;
    d_pairs_.resize(n_pairs * NPC * S);
    w_pairs_.resize(n_pairs);
    for (std::uint64_t q = 0; q < n_pairs; ++q) {
      const std::uint64_t g0 = 2 * q, g1 = std::min(2 * q + 1, n_g_ - 1);
      const double* d0 = geometry.dn_at_g(g0).data();
      const double* d1 = geometry.dn_at_g(g1).data();
      for (std::size_t i = 0; i < NPC * S; ++i) d_pairs_[q * NPC * S + i] = Pair{d0[i], d1[i]};
      w_pairs_[q] = Pair{weights_[g0], weights_[g1]};
    }
  }

  std::uint64_t gauss_count() const noexcept { return n_g_; }
  // Every Gauss point has the reference derivatives of the first, bit for bit: the
  // geometry of a cell is the same at all of them.
  bool affine() const noexcept { return affine_; }
  double gauss_weight(std::uint64_t g) const noexcept { return weights_[g]; }

  // The cell's node coordinates, false when a node is not alive.
  [[gnu::always_inline]] bool gather(std::uint64_t cell, double* x) const noexcept {
    return geometry_->template try_node_coords<S, NPC>(cell, x);
  }
  // dN/dx at Gauss point g into `grads` (NPC x S) and the measure sqrt(det JᵀJ) (to be
  // multiplied by the Gauss weight); false when JᵀJ is singular.
  [[gnu::always_inline]] bool point(std::uint64_t g, const double* x, double* grads, double& measure) const noexcept {
    return containers::finite_element_space::fixed::point<double, S, S, NPC>(x, d_ + g * NPC * S, S, S, NPC, grads,
                                                                             measure);
  }
  // The same at points 2q and 2q + 1 (2q twice for an odd last point), with the
  // weights of both: dΩ = measure * weights.
  [[gnu::always_inline]] bool pair(std::uint64_t q, const double* x, Pair* grads, Pair& measure) const noexcept {
    return containers::finite_element_space::fixed::point<Pair, S, S, NPC>(x, d_pairs_.data() + q * NPC * S, S, S, NPC,
                                                                           grads, measure);
  }
  Pair pair_weights(std::uint64_t q) const noexcept { return w_pairs_[q]; }
  // Gauss point g of two cells at once, from their coordinates side by side.
  [[gnu::always_inline]] bool two_cells(std::uint64_t g, const Pair* x, Pair* grads, Pair& measure) const noexcept {
    return containers::finite_element_space::fixed::point<Pair, S, S, NPC>(x, d_ + g * NPC * S, S, S, NPC, grads,
                                                                           measure);
  }

 private:
  const containers::finite_element_space::CellGeometry* geometry_;
  const double* d_;
  std::uint64_t n_g_;
  const double* weights_;
  bool affine_ = false;
  std::vector<Pair> d_pairs_;
  std::vector<Pair> w_pairs_;
};

// Calls f.template operator()<S, NPC>() for the volume cells of the catalogue (a
// reference dimension equal to the space dimension, 2 or 3) and returns what it
// returns; `other` for every other cell.
template <class Result, class F>
Result with_volume_sizes(std::uint64_t npc, std::uint64_t s, std::uint64_t r, Result other, F&& f) {
  if (r != s) return other;
  if (s == 2) {
    switch (npc) {
      case 3: return f.template operator()<2, 3>();
      case 4: return f.template operator()<2, 4>();
      case 6: return f.template operator()<2, 6>();
      case 8: return f.template operator()<2, 8>();
      case 9: return f.template operator()<2, 9>();
      default: return other;
    }
  }
  if (s == 3) {
    switch (npc) {
      case 4: return f.template operator()<3, 4>();
      case 6: return f.template operator()<3, 6>();
      case 8: return f.template operator()<3, 8>();
      case 10: return f.template operator()<3, 10>();
      case 15: return f.template operator()<3, 15>();
      case 20: return f.template operator()<3, 20>();
      case 27: return f.template operator()<3, 27>();
      default: return other;
    }
  }
  return other;
}

}  // namespace quenlith::models::kernel
