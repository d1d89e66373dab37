#pragma once
// CellContext: what an element kernel or a point law gets for the cell it works on.
//
// A driver reads the subspaces of a block once, on the calling thread (read guards
// on each subspace, and through CellGeometry on the submesh and its Coords), then
// builds the contexts of each cell on the worker that evaluates the cell. A context
// borrows everything from the driver but its coordinate cache, which holds the
// cell's node coordinates once gathered (node-major, `space_dim` values per node).
// It lives on the worker's stack: no allocation, no lock, never shared between
// threads. J, J^T J and its inverse are recomputed on every call.
#include <array>
#include <cstdint>
#include <span>

#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"

namespace quenlith::models::kernel {

// The most nodes x coordinates a cell of the catalogue has (HEX27 in 3-D).
inline constexpr std::size_t kMaxCellCoords = 27 * 3;

class CellContext {
 public:
  using Space = containers::finite_element_space::SubFiniteElementSpace;
  using Geometry = containers::finite_element_space::CellGeometry;

  // `space` and `geometry` (made from `space`) are lent by the driver for the loop.
  CellContext(const Space& space, const Geometry& geometry, std::uint64_t cell) noexcept
      : space_(&space), geometry_(&geometry), cell_(cell) {}

  // Moves the context to another cell of the same subspace; the cache is dropped.
  void set_cell(std::uint64_t cell) noexcept {
    cell_ = cell;
    filled_ = false;
  }

  std::uint64_t cell() const noexcept { return cell_; }
  std::uint64_t nodes_per_cell() const noexcept { return geometry_->nodes_per_cell(); }
  std::uint64_t n_gauss() const noexcept { return geometry_->gauss_count(); }
  std::uint64_t space_dim() const noexcept { return geometry_->space_dim(); }
  std::uint64_t ref_dim() const noexcept { return geometry_->ref_dim(); }
  const Space& space() const noexcept { return *space_; }
  // The cell's node ids, in connectivity order.
  std::span<const containers::mesh::NodeId> node_ids() const noexcept { return geometry_->node_ids(cell_); }

  // N_i at Gauss point g (nodes_per_cell values) and the quadrature weight of g.
  // No check of g: kernels loop within n_gauss.
  std::span<const double> n_at_g(std::uint64_t g) const noexcept {
    const std::uint64_t npc = nodes_per_cell();
    return space_->n_at_g_table().subspan(g * npc, npc);
  }
  double gauss_weight(std::uint64_t g) const noexcept { return space_->gauss_w_table()[g]; }

  // The cell's node coordinates, gathered on the first call: "cell geometry: a {}-D
  // space is not supported (1-D to 3-D only)" beyond three dimensions, "node {} not
  // found or collected" for a node id beyond the Coords or collected (nothing is
  // cached then). Every geometric call below starts here.
  std::span<const double> coords() const;
  // The coordinates of local node i (space_dim values), through the cache.
  std::span<const double> node_coords(std::uint64_t i) const;
  // dN_i/dx_a at Gauss point g into out[i * space_dim + a]; "inverse_small: singular
  // matrix" for a degenerate cell.
  void dn_dx(std::uint64_t g, std::span<double> out) const;
  // The integration weight at g: sqrt(max(det(J^T J), 0)) times the Gauss weight; 0
  // for a degenerate cell. Valid for volumes, and for lines and surfaces in a larger
  // space (the length or area element).
  double dvolume(std::uint64_t g) const;
  // Both at once, from one Jacobian: dn_dx into `out`, dvolume returned. The same
  // bits as the two calls.
  double dn_dx_dvolume(std::uint64_t g, std::span<double> out) const;

 private:
  const Space* space_;
  const Geometry* geometry_;
  std::uint64_t cell_;
  mutable bool filled_ = false;
  mutable std::array<double, kMaxCellCoords> cache_;
};

}  // namespace quenlith::models::kernel
