#include "containers/matrix/lump.hpp"

#include "parallel/pool.hpp"
#include "base/error.hpp"

namespace quenlith::containers::matrix {

Matrix lump(const Matrix& m) {
  if (!m.is_finalized()) throw Error::message("Matrix has not been finalized; call finalize() before solving");
  const Finalized& src = *m.finalized();
  const Csr& a = src.csr;
  QUENLITH_VERIFY(a.n_rows == a.n_cols, "lump: matrix must be square, got {}×{}", a.n_rows, a.n_cols);
  std::vector<double> sums(a.n_rows);
  parallel::for_chunks(a.n_rows, 4096, [&](parallel::Index b, parallel::Index e) {
    for (parallel::Index r = b; r < e; ++r) {
      double s = -0.0;
      for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) s += a.values[k];
      sums[r] = s;
    }
  });
  Finalized out{src.row_dofs, src.col_dofs, Csr::empty(a.n_rows, a.n_cols), src.row_groups, src.col_groups};
  std::uint64_t nnz = 0;
  for (std::uint64_t r = 0; r < a.n_rows; ++r) {
    if (!(sums[r] == 0.0)) ++nnz;
    out.csr.offsets[r + 1] = nnz;
  }
  out.csr.values.resize(nnz);
  std::visit(
      [&](auto& cols) {
        cols.resize(nnz);
        std::uint64_t k = 0;
        for (std::uint64_t r = 0; r < a.n_rows; ++r)
          if (!(sums[r] == 0.0)) {
            cols[k] = static_cast<typename std::decay_t<decltype(cols)>::value_type>(r);
            out.csr.values[k++] = sums[r];
          }
      },
      out.csr.cols);
  if (auto problem = out.csr.invalid()) throw Error::message("lump: invalid COO: {}", *problem);
  return Matrix::from_finalized(std::move(out));
}

}  // namespace quenlith::containers::matrix
