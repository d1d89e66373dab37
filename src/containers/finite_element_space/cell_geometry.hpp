#pragma once
// CellGeometry: the per-cell geometry of one subspace as kernels read it in
// parallel loops, without taking a store lock per cell.
#include <cstdint>
#include <memory>
#include <span>

#include "base/error.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"

namespace quenlith::containers::finite_element_space {

// Lock-free geometry of every cell, for parallel loops: holds read guards on the
// submesh and on its Coords for its own life. Make it on the calling thread, use it
// from any number of worker bodies (which must take no store lock themselves), drop
// it after the loop. The subspace must outlive it (hold its guard meanwhile). Every
// routine writes into caller-sized spans and allocates nothing; results are the
// same bits as the subspace's own per-call routines.
class CellGeometry {
 public:
  explicit CellGeometry(const SubFiniteElementSpace& space);
  ~CellGeometry();
  CellGeometry(const CellGeometry&) = delete;
  CellGeometry& operator=(const CellGeometry&) = delete;

  std::uint64_t cell_count() const noexcept { return n_cells_; }
  std::uint64_t nodes_per_cell() const noexcept { return npc_; }
  std::uint64_t ref_dim() const noexcept { return r_; }
  std::uint64_t space_dim() const noexcept { return s_; }
  std::uint64_t gauss_count() const noexcept { return n_g_; }
  // The cell's node ids, lent while this object lives. No check of `cell`.
  std::span<const mesh::NodeId> node_ids(std::uint64_t cell) const noexcept {
    return connectivity_.subspan(cell * npc_, npc_);
  }
  // npc x s coordinates, node-major; "node {} not found or collected". Inline: the
  // per-cell loops of integrals and kernels call it once per cell. A caller that
  // knows s or npc at compile time passes it as S or NPC (which must then equal
  // space_dim() or nodes_per_cell()).
  template <std::size_t S = 0, std::size_t NPC = 0>
  [[gnu::always_inline]] void node_coords(std::uint64_t cell, std::span<double> out) const {
    if (!try_node_coords<S, NPC>(cell, out.data())) {
      for (mesh::NodeId id : node_ids(cell))
        QUENLITH_VERIFY(coords_object_->is_alive(id), "node {} not found or collected", id);
    }
  }
  // The same into `out`, false (out partly written) when a node is not alive.
  template <std::size_t S = 0, std::size_t NPC = 0>
  [[gnu::always_inline]] bool try_node_coords(std::uint64_t cell, double* out) const noexcept {
    const std::size_t s = S != 0 ? S : s_;
    const std::size_t npc = NPC != 0 ? NPC : npc_;
    const mesh::NodeId* ids = connectivity_.data() + cell * npc;
    for (std::size_t m = 0; m < npc; ++m) {
      const mesh::NodeId id = ids[m];
      if (!coords_object_->is_alive(id)) [[unlikely]]
        return false;
      const double* src = coords_.data() + std::size_t{id} * dim_;
      for (std::size_t a = 0; a < s; ++a) out[m * s + a] = src[a];
    }
    return true;
  }
  // The reference derivatives of the subspace at Gauss point g (npc x r), lent.
  std::span<const double> dn_at_g(std::uint64_t g) const noexcept {
    return space_.dn_at_g_table().subspan(g * npc_ * r_, npc_ * r_);
  }
  std::span<const double> gauss_weights() const noexcept { return space_.gauss_w_table(); }
  // From node coordinates `x` (node_coords): s x r values.
  void jacobian(std::span<const double> x, std::uint64_t g, std::span<double> out) const;
  // From node coordinates `x`: npc x s values; "inverse_small: singular matrix".
  // `j_scratch` holds s x r values.
  void dn_dx(std::span<const double> x, std::uint64_t g, std::span<double> j_scratch, std::span<double> out) const;

 private:
  struct Guards;
  const SubFiniteElementSpace& space_;
  std::unique_ptr<Guards> guards_;
  const mesh::Coords* coords_object_ = nullptr;  // the guarded Coords
  std::span<const mesh::NodeId> connectivity_;
  std::span<const double> coords_;
  std::uint64_t n_cells_ = 0, npc_ = 0, r_ = 0, s_ = 0, n_g_ = 0, dim_ = 0;
};

}  // namespace quenlith::containers::finite_element_space
