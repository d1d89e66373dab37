#pragma once
// Assembly of a matrix whose blocks may be computed (element kernels from a recipe)
// or literal, in two passes:
//   build_scatter_pattern  numbers the global rows and columns, lays out the
//                          compressed-row pattern and records, for every entry a
//                          block will emit, where it lies in the compressed arrays
//                          (counting passes into flat arrays: the node graph of a
//                          computed block from its cells, then the rows; the same
//                          pattern for any number of threads);
//   scatter_parallel       fills a zeroed value array: literal entries at their
//                          positions, computed blocks evaluated cell by cell and
//                          added run by run of the subspace's colouring (no locks;
//                          sums are bit-identical for any number of threads).
// The pattern depends on no value, so the operator assembly of a model caches it per
// operator kind and only repeats the numeric pass.
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/matrix/matrix.hpp"
#include "models/model/model.hpp"
#include "containers/node_field/id_index.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::assemble {

using containers::matrix::Csr;
using containers::matrix::Dof;
using containers::matrix::Matrix;
using containers::matrix::OperatorKind;

struct ScatterPattern {
  // Literal block: one position per stored entry, insertion order.
  using Literal = std::vector<std::uint64_t>;

  // Where the element entries of a computed block's cells go. Element entry e of
  // cell c is (a, k, b, j) in element order (e = ((a n_dual + k) npc + b) n_primal + j):
  // row of the cell's node a and dual variable k, column of node b and primal j.
  struct Computed {
    // The usual form, for a NodesThenVars block whose columns in each of its rows
    // are one run of consecutive entries, node by node in column-support order: the
    // entry lies at row_start[p n_dual + k] + slot(c, a, b) n_primal + j, where p is
    // the row-support position of node a (row_index) and slot(c, a, b) the rank of
    // node b's column-support position among the column positions of p's row.
    // Slots take one byte (two when a row meets more than 256 nodes): npc^2 per cell.
    struct Slots {
      containers::node_field::IdIndex row_index;  // node id -> first row-support position
      std::vector<std::uint64_t> row_start;       // |row support| x n_dual; unused rows kNone
      std::variant<containers::matrix::PodArray<std::uint8_t>, containers::matrix::PodArray<std::uint16_t>> slots;  // n_cells x npc x npc
    };
    // Any other block: every entry's position, `stride` per cell, 32-bit while the
    // compressed arrays have fewer than 2^32 entries.
    struct Positions {
      std::variant<containers::matrix::PodArray<std::uint32_t>, containers::matrix::PodArray<std::uint64_t>> positions;
    };

    std::uint64_t n_cells = 0, npc = 0, n_dual = 0, n_primal = 0;
    std::variant<Positions, Slots> where;

    std::uint64_t stride() const noexcept { return npc * n_dual * npc * n_primal; }
    // The positions of cell c's stride() element entries, in element order, into
    // `out`; `cell_nodes` are the cell's node ids (its submesh's connectivity).
    void positions(std::uint64_t cell, std::span<const containers::mesh::NodeId> cell_nodes,
                   std::span<std::uint64_t> out) const;
  };
  using BlockPositions = std::variant<Literal, Computed>;

  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  std::vector<Dof> row_dofs;
  std::vector<Dof> col_dofs;
  Csr csr;  // offsets and column indices; values left empty
  std::vector<BlockPositions> blocks;
};

ScatterPattern build_scatter_pattern(const Matrix& matrix);

// The compressed rows of `matrix` over `pattern`. `interrupt` is polled before each
// block and between the colour groups of a computed block.
Csr scatter_parallel(const Matrix& matrix, const ScatterPattern& pattern, const store::InterruptCheck& interrupt);

// Both passes on any matrix (pattern not cached); the finalized state is replaced
// and the solver cache emptied. A matrix already finalized keeps its tables.
void assemble(Matrix& matrix, const store::InterruptCheck& interrupt);

// The operator of `kind` of every sub-model of `model` as a new finalized matrix
// (`extra`: the stress field of the geometric operator, the state of the tangent one).
Matrix assemble_operator(const containers::model::Model& model,
                         const containers::element_field::ElementField& materials, OperatorKind kind,
                         const containers::element_field::ElementField* extra, const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::assemble
