#pragma once
// The sparse direct solver behind the linear solvers: the one seam between them and
// the library that factorises (the sequential MUMPS, in mumps.cpp). A build that
// distributes the factorisation over several machines (the MPI build of MUMPS)
// links another definition of factorize_sparse and keeps this interface.
//
// A factorisation is made in two phases on the calling thread, symbolic analysis
// (fill-reducing ordering, elimination tree) then numeric factorisation; each phase
// is one call into the library that runs to its end. Between them the caller's
// interruption check is polled: a Ctrl+C there drops the analysis, and no
// factorisation ever runs on, abandoned, on another thread.
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "containers/matrix/csr.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::solver {

// How the factorisation treats the matrix. Symmetric takes only the upper triangle
// and factorises L·D·Lᵀ with symmetric (1×1 and 2×2) pivoting, which suits the
// indefinite saddle-point matrices of multiplier constraints; General factorises
// L·U with threshold partial pivoting.
enum class Structure : std::uint8_t { General, Symmetric };

// Fill-reducing orderings of the analysis. Default is SCOTCH's nested dissection,
// chosen by measuring 3-D elasticity with multipliers (HEX8, 101 k unknowns, all
// processors, interleaved runs on a shared machine): L·D·Lᵀ in 8.1 s and 1.12 GB,
// where PORD took 9.7 s and 1.15 GB and AMF 14.7 s and 1.52 GB (an earlier run: AMD
// 29 s and 1.71 GB, QAMD 21 s); L·U 7.2 s with 1.93 GB, and on one thread 18 s
// where L·D·Lᵀ took 13.8 s. METIS is not in the Debian build. Two kinds of matrix
// take another default (mumps.cpp): those of planar meshes, which PORD orders faster
// and with less fill, and those with very dense rows, which SCOTCH handles badly and
// QAMD sets aside.
enum class FillOrdering : std::uint8_t { Default, Amd, Amf, Qamd, Pord, Scotch, Automatic };
std::string_view fill_ordering_name(FillOrdering o) noexcept;

struct SparseDirectOptions {
  Structure structure = Structure::General;
  FillOrdering ordering = FillOrdering::Default;
};

// What the library reports about the memory of one factorisation, in millions of
// bytes: what the analysis estimated the in-core factorisation would need, what the
// factorisation allocated (factors, work arrays and its own copy of the matrix), and
// what of that it effectively used. Peak: on the process that needs the most; total:
// summed over the processes (the same figures on one process).
struct FactorMemory {
  std::uint64_t estimated_peak_mb = 0;
  std::uint64_t estimated_total_mb = 0;
  std::uint64_t allocated_peak_mb = 0;
  std::uint64_t allocated_total_mb = 0;
  std::uint64_t used_total_mb = 0;
};

// The analysis and the numeric factors of one square matrix of order n >= 1.
// Immutable once made: several threads may solve with one object at the same time
// (every call into the library runs one at a time in the process: the library keeps
// state of its own in process-wide variables).
class SparseFactors {
 public:
  virtual ~SparseFactors() = default;
  virtual std::uint64_t order() const noexcept = 0;
  // How the matrix was factorised.
  virtual Structure structure() const noexcept = 0;
  // Overwrites b (order() values) with x, the solution of A·x = b (the plain system,
  // not its transpose). A pivot that vanished shows as non-finite values in x.
  // Throws Error::message "solve: substitution failed: {}" when the library fails.
  virtual void solve(std::span<double> b) const = 0;
  // The same for `count` right-hand sides at once, stored one after the other
  // (b holds count · order() values), in one pass over the factors.
  virtual void solve_columns(std::span<double> b, std::uint64_t count) const = 0;
  // The library's own account of the memory of this factorisation.
  virtual const FactorMemory& memory() const noexcept = 0;
  // The unknowns (0-based, ascending) whose pivot the factorisation found null: a
  // pivot row whose largest entry, once the matrix is scaled, is below 1e-12 times
  // the largest entry of the matrix. The factorisation goes on past them (the row set
  // to a unit row), so the factors then solve another system: callers refuse them.
  // Empty for a regular matrix.
  virtual std::span<const std::uint64_t> null_pivots() const noexcept = 0;
};

// Factorises the square matrix `a` (n_rows == n_cols >= 1, every stored entry
// taken, explicit zeros included; under Symmetric only the entries with column >=
// row are read). Every value must be finite: the library's analysis may read a NaN
// or an infinity out of bounds (the callers check, system_check.hpp).
// `between_phases` is polled after the analysis.
//
// Repeatable: the same matrix gives the same factors, bit for bit, on every call
// with the same BLAS thread count (blas.hpp). The fill-reducing ordering draws
// random numbers from one generator of the process; it is reseeded before every
// analysis, and the analyses of concurrent calls run one at a time.
//
// Errors:
// "solve: sparse build failed: {}" when the matrix cannot be handed to the library
// (an order beyond its 32-bit indices); "solve: LU failed (singular?): {}" when the
// analysis or the factorisation fails (structurally or numerically singular,
// exhausted memory), with the library's description; Error::interrupted from the
// poll.
std::shared_ptr<const SparseFactors> factorize_sparse(const containers::matrix::Csr& a,
                                                      const SparseDirectOptions& options,
                                                      const store::InterruptCheck& between_phases);

}  // namespace quenlith::ops::solver
