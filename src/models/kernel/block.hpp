#pragma once
// Element blocks: a kind's dense per-cell matrix placed at block-local rows and
// columns, for every cell of the block's subspaces.
//
// A block numbers its rows by (row support position, dual variable) and its columns
// by (column support position, primal variable). An element block of a cell is
// (npc * n_dual) x (npc * n_primal), row-major, node-major: row a*n_dual + k is local
// node a and dual variable k, column i*n_primal + j local node i and primal j. A node
// listed twice in a support takes its first position (rows and columns of a later
// position stay empty).
//
// BlockCells reads the subspaces once, on the calling thread, and lends plain views
// to the workers: kernels run without a lock, a guard or an allocation per cell.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/id_index.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/prepared_kernel.hpp"
#include "parallel/function_ref.hpp"
#include "store/guard.hpp"
#include "store/interrupt.hpp"

namespace quenlith::models::kernel {

using SpaceHandle = store::Handle<containers::finite_element_space::SubFiniteElementSpace>;
using SupportHandle = store::Handle<containers::mesh::SubMesh>;
using containers::matrix::Ordering;
using containers::mesh::NodeId;

// A per-cell routine: adds one cell's element block (or element vector) into the
// zero-filled buffer, from the cell's contexts (one per subspace of the block, in
// block order). Runs on worker threads, many cells at once: it may only read
// shared data.
using CellRoutine = parallel::FunctionRef<void(std::span<const CellContext> ctxs, std::span<double> out)>;

// The subspaces of one block, under read guards for the object's life: the first
// subspace gives the cells, the nodes per cell and the colouring; every further one
// must lie on the same submesh (same handle).
class BlockCells {
 public:
  struct Messages {
    std::string_view no_space;     // no subspace given
    std::string_view one_submesh;  // a further subspace on another submesh
  };
  BlockCells(std::span<const SpaceHandle> fespaces, Messages messages);
  ~BlockCells();
  BlockCells(const BlockCells&) = delete;
  BlockCells& operator=(const BlockCells&) = delete;

  std::uint64_t cell_count() const noexcept { return geometries_.front()->cell_count(); }
  std::uint64_t nodes_per_cell() const noexcept { return geometries_.front()->nodes_per_cell(); }
  std::uint64_t space_dim() const noexcept { return geometries_.front()->space_dim(); }
  std::size_t space_count() const noexcept { return spaces_.size(); }
  std::span<const NodeId> node_ids(std::uint64_t cell) const noexcept {
    return geometries_.front()->node_ids(cell);
  }
  const containers::finite_element_space::SubFiniteElementSpace& first_space() const noexcept {
    return *spaces_.front();
  }
  // The first subspace's geometry, lent while this object lives.
  const containers::finite_element_space::CellGeometry& first_geometry() const noexcept {
    return *geometries_.front();
  }
  // The first subspace's colouring, computed on first use and cached in it.
  const containers::finite_element_space::CellColoring& coloring() const;
  // One context per subspace, on cell 0; move them with set_cell. Call once per run
  // of cells, not per cell.
  std::vector<CellContext> make_contexts() const;

 private:
  std::vector<store::ReadGuard<containers::finite_element_space::SubFiniteElementSpace>> spaces_;
  std::vector<std::unique_ptr<containers::finite_element_space::CellGeometry>> geometries_;
};

// The node ids of a support (its connectivity), copied under a read guard.
std::vector<NodeId> support_nodes(const SupportHandle& support);

// Where the entries of a cell's element block go in the block.
class BlockPlacement {
 public:
  BlockPlacement(std::vector<NodeId> row_nodes, std::vector<NodeId> col_nodes, std::uint64_t n_dual,
                 std::uint64_t n_primal, Ordering ordering);

  std::uint64_t n_rows() const noexcept { return row_nodes_.size() * n_dual_; }
  std::uint64_t n_cols() const noexcept { return col_nodes_.size() * n_primal_; }
  std::uint64_t n_dual() const noexcept { return n_dual_; }
  std::uint64_t n_primal() const noexcept { return n_primal_; }
  std::uint64_t block_len(std::uint64_t npc) const noexcept { return npc * n_dual_ * npc * n_primal_; }
  std::span<const NodeId> row_nodes() const noexcept { return row_nodes_; }
  std::span<const NodeId> col_nodes() const noexcept { return col_nodes_; }
  Ordering ordering() const noexcept { return ordering_; }
  // Node id -> the first position of the node in the row (column) support.
  const containers::node_field::IdIndex& row_index() const noexcept { return row_index_; }
  const containers::node_field::IdIndex& col_index() const noexcept { return col_index_; }

  // The row and column support positions of the cell's nodes: "{who}: node {} not in
  // row support" (then "col support") for the first node missing, in node order,
  // each node looked up in the rows first.
  void locate(std::span<const NodeId> cell_nodes, std::string_view who, std::span<std::uint32_t> row_pos,
              std::span<std::uint32_t> col_pos) const;
  // Block-local indices of (support position, variable).
  std::uint64_t row(std::uint32_t pos, std::uint64_t k) const noexcept {
    return ordering_ == Ordering::NodesThenVars ? pos * n_dual_ + k : pos + k * row_nodes_.size();
  }
  std::uint64_t col(std::uint32_t pos, std::uint64_t j) const noexcept {
    return ordering_ == Ordering::NodesThenVars ? pos * n_primal_ + j : pos + j * col_nodes_.size();
  }

 private:
  std::vector<NodeId> row_nodes_, col_nodes_;
  containers::node_field::IdIndex row_index_, col_index_;
  std::uint64_t n_dual_, n_primal_;
  Ordering ordering_;
};

// The (row, column) pairs of one cell's element block, in element order (a, k, i, j
// with j fastest): npc^2 n_dual n_primal pairs into `out`. "element_block_pattern:
// node {} not in row support" / "... col support".
void element_block_pattern(std::span<const NodeId> cell_nodes, const BlockPlacement& placement,
                           std::span<std::pair<std::uint64_t, std::uint64_t>> out);

// Evaluates `kernel` on every cell, colour group by colour group of the first
// subspace's colouring, each group one parallel loop with one scratch block per run
// of cells, and hands each cell's block to `sink` on the worker. Cells handed to
// `sink` at the same time share no node, so it may add into arrays indexed by node
// (or by node pair) without locks, and every entry is summed in the same order for
// any number of threads. The first failure ends the call.
// `interrupt`, when given, is polled between colour groups. With a `prepared`
// kernel (the same bits as `kernel`), the cells of a run go to it two by two, and to
// `kernel` only when it declines them.
void for_each_element_block(const BlockCells& cells, std::uint64_t n_dual, std::uint64_t n_primal, CellRoutine kernel,
                            parallel::FunctionRef<void(std::uint64_t cell, std::span<const double> block)> sink,
                            const store::InterruptCheck* interrupt = nullptr,
                            const PreparedKernel* prepared = nullptr);

// The block of `kernel` over the subspaces as a literal SubMatrix (unstored, no
// physics tags, factor 1): one entry per element entry of every cell, in cell order
// then element order, zeros included and repeats not summed. Errors in order: the
// subspaces' ("element_block_triplets_per_cell: no FE subspace", "...: all FE
// subspaces of a block must share one submesh", guard errors), the supports', the
// kernel's, "element_block_triplets: node {} not in row support" (or col), then
// those of SubMatrix::from_coo.
containers::matrix::SubMatrix assemble_block(std::span<const SpaceHandle> fespaces, const SupportHandle& row_support,
                                             const SupportHandle& col_support, std::vector<std::string> dual_vars,
                                             std::vector<std::string> primal_vars, Ordering ordering, bool symmetric,
                                             CellRoutine kernel);

}  // namespace quenlith::models::kernel
