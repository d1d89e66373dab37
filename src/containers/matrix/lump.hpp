#pragma once
// Lumping: the diagonal matrix of row sums of a finalized matrix.
#include "containers/matrix/matrix.hpp"

namespace quenlith::containers::matrix {

// A new matrix without blocks whose finalized form copies the source's tables and
// support groups and holds, on the diagonal, each row's sum of stored values (added
// in column order from -0.0); a sum equal to 0.0 stores nothing, a NaN sum is
// stored. Errors: "Matrix has not been finalized; call finalize() before solving",
// "lump: matrix must be square, got {}×{}". The source is unchanged.
Matrix lump(const Matrix& m);

}  // namespace quenlith::containers::matrix
