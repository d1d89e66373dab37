#pragma once
// Assembly of a matrix whose blocks may be computed (element kernels from a recipe)
// or literal, in two passes:
//   build_scatter_pattern  numbers the global rows and columns, lays out the
//                          compressed-row pattern and records, for every entry a
//                          block will emit, its position in the compressed arrays
//                          (in parallel: the rows of computed blocks gathered colour
//                          group by colour group, then sorted; the same pattern for
//                          any number of threads);
//   scatter_parallel       fills a zeroed value array: literal entries at their
//                          positions, computed blocks evaluated cell by cell and
//                          added colour group by colour group (no locks; sums are
//                          bit-identical for any number of threads).
// The pattern depends on no value, so the operator assembly of a model caches it per
// operator kind and only repeats the numeric pass.
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/model/model.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::assemble {

using containers::matrix::Csr;
using containers::matrix::Dof;
using containers::matrix::Matrix;
using containers::matrix::OperatorKind;

struct ScatterPattern {
  // Literal block: one position per stored entry, insertion order.
  using Literal = std::vector<std::uint64_t>;
  // Computed block: per cell of its first subspace, the positions of the element
  // entries in element order, cell c at [c * stride, (c + 1) * stride); 32-bit while
  // the compressed arrays have fewer than 2^32 entries (half the memory).
  struct Computed {
    std::uint64_t stride = 0;
    std::variant<std::vector<std::uint32_t>, std::vector<std::uint64_t>> positions;
  };
  using BlockPositions = std::variant<Literal, Computed>;

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
