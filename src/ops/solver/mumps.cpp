// factorize_sparse on the sequential MUMPS: one library instance per factorisation,
// started in the constructor of its owner and ended in its destructor.
#include <dmumps_c.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "ops/solver/blas.hpp"
#include "ops/solver/mumps_status.hpp"
#include "ops/solver/sparse_direct.hpp"
#include "parallel/pool.hpp"

// The SCOTCH ordering's process-wide random generator (libscotch, loaded with
// MUMPS), declared weak: a MUMPS built without SCOTCH leaves them null. The seed
// is a SCOTCH_Num, 32 or 64 bits by build; a 64-bit argument reaches either intact.
extern "C" {
void SCOTCH_randomSeed(std::int64_t seed) __attribute__((weak));
void SCOTCH_randomReset(void) __attribute__((weak));
}

namespace quenlith::ops::solver {

using containers::matrix::Csr;

namespace {

// The communicator value that the sequential library's MPI stubs expect.
constexpr MUMPS_INT kUseCommWorld = -987654;
// Rows per chunk when the entries are copied into the library's triplets.
constexpr parallel::Index kRowChunk = 4096;
// Relaxations tried, in percent of the analysis' estimate, when the factorisation
// runs out of room in its work arrays (the library's default is 20 or 30).
constexpr MUMPS_INT kRelaxations[] = {40, 80, 160, 320};
// Null-pivot detection (ICNTL(24)): a pivot row whose largest entry is below this
// fraction of the largest entry of the scaled matrix (CNTL(3)) counts as null. The
// library's own default, 1e-5 machine epsilons, misses the rigid-body modes of a
// floating elastic cube from 24³ cells on (they leave pivots near 1e-13). Measured on
// slender cantilevers: a planar frame of 100 elements, L = 100, I = 1e-6 (condition
// 3e13) and a strip of 2000 × 1 QUA4 cells, L/h = 3000 (condition 1.5e14), still
// solve, as scipy does; a strip at L/h = 10⁴ (condition 7.7e14, where dense and sparse
// solvers already disagree in the second digit) is refused, and so is every floating
// cube tried (all six modes found up to 8³ cells). Materials 10¹⁰ times stiffer than
// their neighbours are unaffected: the matrix is scaled first.
constexpr double kNullPivotThreshold = 1e-12;
// The ordering's random generator restarts from this seed for every analysis.
constexpr std::int64_t kOrderingSeed = 1;

// Every call into the library, for any instance. The sequential library keeps part
// of its state in variables of the whole process (its load-balancing module among
// them): eight factorisations of different matrices started at once on eight threads
// aborted the process with a corrupted heap. Calls therefore run one at a time; each
// still uses every BLAS thread.
std::mutex library_mutex;

void call_library(DMUMPS_STRUC_C& id) {
  std::lock_guard lock(library_mutex);
  dmumps_c(&id);
}

// Serialises the analyses: SCOTCH draws from one generator of the process, so two
// orderings running at once would each see the other's draws.
std::mutex analysis_mutex;

// SCOTCH orders with as many threads as the machine has cores, and its threads'
// results depend on their timing: one thread makes the ordering a function of the
// matrix alone. It reads this from the environment at each ordering; the variable is
// set once, under the analysis lock, before the first.
void seed_ordering() {
  static std::once_flag single_thread;
  std::call_once(single_thread, [] { setenv("SCOTCH_PTHREAD_NUMBER", "1", 1); });
  if (SCOTCH_randomSeed) SCOTCH_randomSeed(kOrderingSeed);
  if (SCOTCH_randomReset) SCOTCH_randomReset();
}

// Rows that start a run of rows with the same column pattern: the unknowns of one
// node share every entry position, so each run is, in the usual numbering (a node's
// variables one after the other), one node of the mesh. Counted in parallel.
std::uint64_t pattern_runs(const Csr& a) {
  return std::visit(
      [&](const auto& cols) {
        const double runs = parallel::sum_chunks(a.n_rows, kRowChunk, [&](parallel::Index b, parallel::Index e) {
          double starts = 0;
          for (parallel::Index r = b; r < e; ++r) {
            const std::uint64_t begin = a.row_begin(r), len = a.row_end(r) - begin;
            starts += r == 0 || len != a.row_end(r - 1) - a.row_begin(r - 1) ||
                      !std::equal(&cols[begin], &cols[begin] + len, &cols[a.row_begin(r - 1)]);
          }
          return starts;
        });
        return static_cast<std::uint64_t>(runs);  // a count below 2^53: exact in any order
      },
      a.cols);
}

// Whether the pattern has at most `limit` connected components, each row joined to
// the rows of its columns (a breadth-first walk, stopped once the limit is passed).
bool components_at_most(const Csr& a, std::uint64_t limit) {
  return std::visit(
      [&](const auto& cols) {
        std::vector<std::uint8_t> seen(a.n_rows, 0);
        std::vector<std::uint64_t> next;
        std::uint64_t found = 0;
        for (std::uint64_t root = 0; root < a.n_rows; ++root) {
          if (seen[root]) continue;
          if (++found > limit) return false;
          seen[root] = 1;
          next.push_back(root);
          while (!next.empty()) {
            const std::uint64_t r = next.back();
            next.pop_back();
            for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k)
              if (const std::uint64_t c = cols[k]; c < a.n_rows && !seen[c]) {
                seen[c] = 1;
                next.push_back(c);
              }
          }
        }
        return true;
      },
      a.cols);
}

// The default ordering. SCOTCH, except on the matrices of planar meshes, told by how
// many nodes each node of the mesh is coupled to (the entries per row over the
// unknowns per node): at most 9 on a mesh of QUA4 cells, about 7 on TRI3 cells, where
// a solid mesh has 15 (TET4) to 27 (HEX8) and a chain of bars 3. On those PORD orders
// faster and finds less fill: QUA4 elasticity with multipliers at one thread, 1.0 M
// unknowns, analysis 3.3 s against 7.3 s and 6.4e10 operations against 7.5e10 (the
// whole factorisation 11.9 s against 18.4 s); 81 k to 322 k unknowns, 4 to 25 % fewer
// operations. On solid meshes SCOTCH's orderings are the cheaper to factorise (HEX8
// 101 k unknowns: 2.3e11 operations against PORD's 3.7e11; TET4: 1.8e11 against
// 2.2e11), and on chains it is the faster. PORD is kept from what it handles badly:
// small graphs, where it ends the process when its nested dissection finds fewer
// vertices than levels (a dense 2×2 matrix does it), and graphs of many components,
// whose cost grows with their square (40 k lone unknowns beside an 81 k-unknown
// mesh: 6.4 s of analysis; 100 k lone unknowns: 33 s, where SCOTCH takes 1.6 s).
constexpr double kPlanarCoupling[2] = {5.0, 12.0};
constexpr std::uint64_t kPordMinRows = 10000;
constexpr std::uint64_t kPordMaxComponents = 1000;

// The most entries in one row or one column of the pattern: a line coupled to most
// unknowns at once (a multiplier that ties a whole face, or a global constraint).
std::uint64_t longest_line(const Csr& a) {
  const double row = parallel::reduce_chunks(
      a.n_rows, kRowChunk, 0.0,
      [&](parallel::Index b, parallel::Index e) {
        std::uint64_t most = 0;
        for (parallel::Index r = b; r < e; ++r) most = std::max(most, a.row_end(r) - a.row_begin(r));
        return static_cast<double>(most);
      },
      [](double l, double r) { return std::max(l, r); });
  return std::visit(
      [&](const auto& cols) {
        std::vector<std::uint32_t> count(a.n_cols, 0);
        for (const auto c : cols) ++count[c];
        std::uint64_t most = static_cast<std::uint64_t>(row);
        for (const auto k : count) most = std::max<std::uint64_t>(most, k);
        return most;
      },
      a.cols);
}

// SCOTCH handles very dense lines badly. With one, its cost grows with the square
// of the line's length and then it fails: a diagonal of n unknowns bordered by one
// full row and column took 0.3 s at n = 20 k, 2.9 s at 60 k, reported exhausted
// memory (a size overflow) at 80 k and ended the process at 100 k. With a few, it
// orders them early, and the factorisation meets dense fronts of their length: four
// rows of 32 k beside 130 k unknowns ran more than 300 s. QAMD sets such rows aside
// (the 100 k bordered diagonal in 0.35 s, a planar mesh with one row tying it whole
// in 5.6 s where SCOTCH took 14 to 26 s); on plain meshes its fill is larger, so a
// line counts as dense only past both the usual bound of ten times the square root
// of the order and a length whose dense front would cost seconds.
constexpr std::uint64_t kDenseLineMin = 4096;

bool has_dense_line(const Csr& a) {
  const std::uint64_t bound =
      std::max<std::uint64_t>(kDenseLineMin, static_cast<std::uint64_t>(10.0 * std::sqrt(static_cast<double>(a.n_rows))));
  return a.n_rows > bound && longest_line(a) > bound;
}

MUMPS_INT default_ordering(const Csr& a) {
  constexpr MUMPS_INT kScotch = 3, kPord = 4, kQamd = 6;
  if (has_dense_line(a)) return kQamd;
  if (a.n_rows < kPordMinRows) return kScotch;
  const double n = static_cast<double>(a.n_rows);
  const double coupling = static_cast<double>(a.nnz()) / n * static_cast<double>(pattern_runs(a)) / n;
  if (coupling < kPlanarCoupling[0] || coupling >= kPlanarCoupling[1]) return kScotch;
  return components_at_most(a, kPordMaxComponents) ? kPord : kScotch;
}

// The library's ICNTL(7) code of an ordering for `a`.
MUMPS_INT ordering_code(FillOrdering o, const Csr& a) {
  switch (o) {
    case FillOrdering::Amd: return 0;
    case FillOrdering::Amf: return 2;
    case FillOrdering::Scotch: return 3;
    case FillOrdering::Pord: return 4;
    case FillOrdering::Qamd: return 6;
    case FillOrdering::Automatic: return 7;
    case FillOrdering::Default: break;
  }
  return default_ordering(a);
}

// One library instance: JOB=-1 in the constructor, JOB=-2 in the destructor. The
// library keeps pointers to the caller's arrays (matrix, right-hand side) between
// calls; the owner of the instance keeps them alive.
class Instance {
 public:
  explicit Instance(Structure structure) {
    id_.job = -1;
    id_.par = 1;  // the only process works
    id_.sym = structure == Structure::Symmetric ? 2 : 0;
    id_.comm_fortran = kUseCommWorld;
    call_library(id_);
    if (infog(1) < 0) throw mumps_error(MumpsPhase::Initialisation, infog(1), infog(2));
    // No printing: every outcome reaches the caller through the status codes.
    icntl(1) = -1;
    icntl(2) = -1;
    icntl(3) = -1;
    icntl(4) = 0;
  }
  ~Instance() {
    id_.job = -2;
    call_library(id_);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  DMUMPS_STRUC_C& id() noexcept { return id_; }
  // ICNTL(i) and INFOG(i), numbered from 1 as the library's documentation does.
  MUMPS_INT& icntl(int i) noexcept { return id_.icntl[i - 1]; }
  int infog(int i) const noexcept { return id_.infog[i - 1]; }
  void run(MUMPS_INT job) {
    id_.job = job;
    call_library(id_);
  }

 private:
  DMUMPS_STRUC_C id_{};
};

class MumpsFactors final : public SparseFactors {
 public:
  MumpsFactors(std::unique_ptr<Instance> instance, std::uint64_t n, Structure structure, const FactorMemory& memory,
               std::vector<std::uint64_t> null_pivots)
      : instance_(std::move(instance)),
        n_(n),
        structure_(structure),
        memory_(memory),
        null_pivots_(std::move(null_pivots)) {}

  std::uint64_t order() const noexcept override { return n_; }
  Structure structure() const noexcept override { return structure_; }
  const FactorMemory& memory() const noexcept override { return memory_; }
  std::span<const std::uint64_t> null_pivots() const noexcept override { return null_pivots_; }

  void solve(std::span<double> b) const override { solve_columns(b, 1); }

  void solve_columns(std::span<double> b, std::uint64_t count) const override {
    if (count == 0) return;
    if (count > static_cast<std::uint64_t>(INT_MAX) || b.size() != count * n_)
      throw Error::message("solve: substitution failed: {} value(s) for {} right-hand side(s) of order {}", b.size(),
                           count, n_);
    // The solve phase writes into the instance (right-hand side pointer, work
    // arrays): one at a time.
    std::lock_guard lock(mutex_);
    Instance& m = *instance_;
    DMUMPS_STRUC_C& id = m.id();
    id.rhs = b.data();
    id.nrhs = static_cast<MUMPS_INT>(count);
    id.lrhs = static_cast<MUMPS_INT>(n_);
    m.icntl(9) = 1;   // A x = b, not the transpose
    m.icntl(20) = 0;  // dense right-hand side
    m.icntl(21) = 0;  // solution gathered on the host, in place
    prepare_blas();
    m.run(3);
    id.rhs = nullptr;
    if (m.infog(1) < 0) throw mumps_error(MumpsPhase::Solve, m.infog(1), m.infog(2));
  }

 private:
  std::unique_ptr<Instance> instance_;
  mutable std::mutex mutex_;
  std::uint64_t n_;
  Structure structure_;
  FactorMemory memory_;
  std::vector<std::uint64_t> null_pivots_;
};

// The library's coordinate form of `a`, 1-based: every entry, or under Symmetric
// those of the upper triangle. Rows are copied in parallel, each to its own slice.
struct Triplets {
  std::vector<MUMPS_INT> rows;
  std::vector<MUMPS_INT> cols;
  std::vector<double> values;
};

Triplets library_triplets(const Csr& a, Structure structure) {
  const bool upper = structure == Structure::Symmetric;
  std::vector<std::uint64_t> start(a.n_rows + 1, 0);
  if (upper) {
    parallel::for_chunks(a.n_rows, kRowChunk, [&](parallel::Index b, parallel::Index e) {
      for (parallel::Index r = b; r < e; ++r) {
        std::uint64_t n = 0;
        for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) n += a.col(k) >= r;
        start[r + 1] = n;
      }
    });
    for (std::uint64_t r = 0; r < a.n_rows; ++r) start[r + 1] += start[r];
  } else {
    for (std::uint64_t r = 0; r <= a.n_rows; ++r) start[r] = a.offsets[r];
  }
  Triplets t;
  t.rows.resize(start[a.n_rows]);
  t.cols.resize(start[a.n_rows]);
  t.values.resize(start[a.n_rows]);
  parallel::for_chunks(a.n_rows, kRowChunk, [&](parallel::Index b, parallel::Index e) {
    for (parallel::Index r = b; r < e; ++r) {
      std::uint64_t out = start[r];
      for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) {
        const std::uint64_t c = a.col(k);
        if (upper && c < r) continue;
        t.rows[out] = static_cast<MUMPS_INT>(r + 1);
        t.cols[out] = static_cast<MUMPS_INT>(c + 1);
        t.values[out++] = a.values[k];
      }
    }
  });
  return t;
}

}  // namespace

std::string_view fill_ordering_name(FillOrdering o) noexcept {
  switch (o) {
    case FillOrdering::Default: return "default";
    case FillOrdering::Amd: return "AMD";
    case FillOrdering::Amf: return "AMF";
    case FillOrdering::Qamd: return "QAMD";
    case FillOrdering::Pord: return "PORD";
    case FillOrdering::Scotch: return "SCOTCH";
    case FillOrdering::Automatic: return "automatic";
  }
  return "?";
}

std::shared_ptr<const SparseFactors> factorize_sparse(const Csr& a, const SparseDirectOptions& options,
                                                      const store::InterruptCheck& between_phases) {
  const std::uint64_t n = a.n_rows;
  if (n > static_cast<std::uint64_t>(INT_MAX) || a.nnz() > static_cast<std::uint64_t>(INT64_MAX))
    throw Error::message("solve: sparse build failed: order {} exceeds the solver's 32-bit indices", n);
  Triplets t = library_triplets(a, options.structure);

  auto instance = std::make_unique<Instance>(options.structure);
  DMUMPS_STRUC_C& id = instance->id();
  id.n = static_cast<MUMPS_INT>(n);
  id.nnz = static_cast<MUMPS_INT8>(t.values.size());
  id.irn = t.rows.data();
  id.jcn = t.cols.data();
  id.a = t.values.data();
  instance->icntl(5) = 0;   // assembled matrix
  instance->icntl(18) = 0;  // centralised on the host
  instance->icntl(28) = 1;  // sequential analysis
  instance->icntl(7) = ordering_code(options.ordering, a);
  instance->icntl(24) = 1;  // null pivots detected, and reported in PIVNUL_LIST
  id.cntl[2] = kNullPivotThreshold;

  prepare_blas();
  {
    std::lock_guard lock(analysis_mutex);
    seed_ordering();
    instance->run(1);
  }
  if (instance->infog(1) < 0) throw mumps_error(MumpsPhase::Analysis, instance->infog(1), instance->infog(2));
  between_phases();
  FactorMemory memory;
  // INFOG(16), INFOG(17): the analysis' estimate for an in-core factorisation.
  memory.estimated_peak_mb = static_cast<std::uint64_t>(instance->infog(16));
  memory.estimated_total_mb = static_cast<std::uint64_t>(instance->infog(17));

  prepare_blas();
  instance->run(2);
  for (MUMPS_INT relaxation : kRelaxations) {
    if (!mumps_workspace_too_small(instance->infog(1))) break;
    instance->icntl(14) = relaxation;
    instance->run(2);
  }
  if (instance->infog(1) < 0)
    throw mumps_error(MumpsPhase::Factorisation, instance->infog(1), instance->infog(2));

  // Without iterative refinement or error analysis the solve phase reads only the
  // factors: the triplets go now.
  id.irn = nullptr;
  id.jcn = nullptr;
  id.a = nullptr;
  // INFOG(18), INFOG(19): allocated by the factorisation; INFOG(22): of that, used.
  memory.allocated_peak_mb = static_cast<std::uint64_t>(instance->infog(18));
  memory.allocated_total_mb = static_cast<std::uint64_t>(instance->infog(19));
  memory.used_total_mb = static_cast<std::uint64_t>(instance->infog(22));
  // INFOG(28) null pivots, their 1-based rows in PIVNUL_LIST.
  std::vector<std::uint64_t> null_pivots;
  if (instance->infog(28) > 0 && id.pivnul_list)
    for (int k = 0; k < instance->infog(28); ++k) null_pivots.push_back(static_cast<std::uint64_t>(id.pivnul_list[k]) - 1);
  std::sort(null_pivots.begin(), null_pivots.end());
  return std::make_shared<MumpsFactors>(std::move(instance), n, options.structure, memory, std::move(null_pivots));
}

}  // namespace quenlith::ops::solver
