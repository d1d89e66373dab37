// The sparse direct solver in the core: factorisations of small matrices against a
// dense reference for every fill-reducing ordering and both factorisation kinds,
// the choice between them (a matrix symmetric in pattern but not in values, or the
// reverse, must not take the symmetric path), the error texts, the interruption
// polled between the phases, and what `solve` leaves in the matrix's solver cache.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/error.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/model/model.hpp"
#include "ops/solver/eliminate.hpp"
#include "ops/solver/lu.hpp"
#include "ops/solver/unilateral.hpp"
#include "ops/solver/sparse_direct.hpp"
#include "store/guard.hpp"
#include "store/interrupt.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace store = quenlith::store;
using namespace quenlith::containers::matrix;
using namespace quenlith::ops::solver;
using quenlith::Error;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::NodeId;
using quenlith::containers::mesh::SubMesh;
using quenlith::containers::node_field::NodeField;
using quenlith::testing::error_text;

using Dense = Eigen::MatrixXd;

Csr csr_of(const Dense& d, bool keep_zeros_on_diagonal = false) {
  std::vector<std::uint32_t> rows, cols;
  std::vector<double> values;
  for (Eigen::Index r = 0; r < d.rows(); ++r)
    for (Eigen::Index c = 0; c < d.cols(); ++c)
      if (d(r, c) != 0.0 || (keep_zeros_on_diagonal && r == c)) {
        rows.push_back(static_cast<std::uint32_t>(r));
        cols.push_back(static_cast<std::uint32_t>(c));
        values.push_back(d(r, c));
      }
  const TripletSource source{rows, cols, values, {}, {}, 1.0};
  return csr_from_triplets_parallel(d.rows(), d.cols(), {&source, 1});
}

// A sparse symmetric positive definite matrix (a perturbed 2-D Laplacian), an
// indefinite saddle-point matrix built on it, and an unsymmetric one.
Dense spd(int side, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(0.5, 1.5);
  const int n = side * side;
  Dense a = Dense::Zero(n, n);
  for (int j = 0; j < side; ++j)
    for (int i = 0; i < side; ++i) {
      const int p = j * side + i;
      for (int q : {i + 1 < side ? p + 1 : -1, j + 1 < side ? p + side : -1}) {
        if (q < 0) continue;
        const double k = u(gen);
        a(p, p) += k, a(q, q) += k, a(p, q) -= k, a(q, p) -= k;
      }
    }
  a(0, 0) += 1.0;
  return a;
}

Dense saddle(int side, unsigned seed) {
  const Dense k = spd(side, seed);
  const Eigen::Index n = k.rows();
  const Eigen::Index m = side;  // one multiplier per node of the first row of nodes
  Dense a = Dense::Zero(n + m, n + m);
  a.topLeftCorner(n, n) = k;
  a(0, 0) -= 1.0;  // floating: only the multipliers hold it
  for (Eigen::Index i = 0; i < m; ++i) a(n + i, i) = a(i, n + i) = 1.0;
  return a;
}

Dense unsymmetric(int side, unsigned seed) {
  Dense a = spd(side, seed);
  std::mt19937 gen(seed + 1);
  std::uniform_real_distribution<double> u(-0.4, 0.4);
  for (Eigen::Index r = 0; r < a.rows(); ++r)
    for (Eigen::Index c = 0; c < r; ++c)
      if (a(r, c) != 0.0) a(r, c) += u(gen);  // same pattern, other values
  return a;
}

Eigen::VectorXd rhs(Eigen::Index n) {
  Eigen::VectorXd b(n);
  for (Eigen::Index i = 0; i < n; ++i) b(i) = std::sin(1.0 + i);
  return b;
}

// A system without names: errors name its rows and unknowns by index.
const quenlith::containers::field::DofList kNoNames;
const SystemNames kUnnamed = solve_names(kNoNames, kNoNames);

double relative_error(const std::vector<double>& x, const Eigen::VectorXd& ref) {
  return (Eigen::Map<const Eigen::VectorXd>(x.data(), x.size()) - ref).norm() / ref.norm();
}

struct FactorCase {
  const char* name;
  Dense (*make)(int, unsigned);
  Structure structure;
};

class Factorisation : public ::testing::TestWithParam<std::tuple<FactorCase, FillOrdering>> {};

TEST_P(Factorisation, SolvesLikeADenseLu) {
  const auto& [c, ordering] = GetParam();
  const Dense a = c.make(7, 11);
  const Eigen::VectorXd b = rhs(a.rows());
  const Eigen::VectorXd ref = a.fullPivLu().solve(b);
  const auto lu = factorize_sparse(csr_of(a), {c.structure, ordering}, {});
  ASSERT_EQ(lu->order(), static_cast<std::uint64_t>(a.rows()));
  std::vector<double> x(b.data(), b.data() + b.size());
  lu->solve(x);
  EXPECT_LT(relative_error(x, ref), 1e-12);
  // The factors serve any number of right-hand sides.
  std::vector<double> y(b.size(), 0.0);
  y[3] = 1.0;
  lu->solve(y);
  EXPECT_LT(relative_error(y, a.fullPivLu().solve(Eigen::VectorXd::Unit(a.rows(), 3))), 1e-12);
  // Several right-hand sides in one pass give what one at a time gives.
  const Eigen::Index n = a.rows();
  std::vector<double> block(3 * n, 0.0);
  for (Eigen::Index j = 0; j < 3; ++j) block[j * n + j * 5] = 1.0 + j;
  lu->solve_columns(block, 3);
  for (Eigen::Index j = 0; j < 3; ++j) {
    const std::vector<double> col(block.begin() + j * n, block.begin() + (j + 1) * n);
    EXPECT_LT(relative_error(col, a.fullPivLu().solve((1.0 + j) * Eigen::VectorXd::Unit(n, j * 5))), 1e-12);
  }
}

const FactorCase kFactorCases[] = {
    {"spd_ldlt", spd, Structure::Symmetric},
    {"spd_lu", spd, Structure::General},
    {"saddle_ldlt", saddle, Structure::Symmetric},
    {"saddle_lu", saddle, Structure::General},
    {"unsymmetric_lu", unsymmetric, Structure::General},
};

INSTANTIATE_TEST_SUITE_P(
    Solver, Factorisation,
    ::testing::Combine(::testing::ValuesIn(kFactorCases),
                       ::testing::Values(FillOrdering::Default, FillOrdering::Amd, FillOrdering::Amf,
                                         FillOrdering::Qamd, FillOrdering::Pord, FillOrdering::Scotch)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::string(fill_ordering_name(std::get<1>(info.param)));
    });

// lu_factorize picks L·D·Lᵀ only for a matrix symmetric to rounding: each of the
// first three, taken as symmetric, would solve another system; the last three take
// the symmetric path and solve A itself to rounding.
TEST(Solver, SymmetricPathOnlyForMatricesSymmetricToRounding) {
  Dense values_differ = spd(5, 3);
  values_differ(1, 0) += 1e-12;  // beyond the tolerance, though tiny
  Dense lower_only = spd(5, 3);
  lower_only(7, 1) = 0.5;  // (1, 7) not stored
  Dense upper_only = spd(5, 3);
  upper_only(2, 3) = 0.3;  // an upper entry whose mirror is absent
  Dense rounding = spd(5, 3);
  rounding(1, 0) = std::nextafter(std::nextafter(rounding(1, 0), 1.0), 1.0);  // two units in the last place
  Dense stray = saddle(5, 3);
  stray(3, 20) = 1e-18;  // a rounding residue with no mirror
  struct Case {
    const Dense& a;
    Structure taken;
  };
  for (const Case& c : {Case{values_differ, Structure::General}, Case{lower_only, Structure::General},
                        Case{upper_only, Structure::General}, Case{spd(5, 3), Structure::Symmetric},
                        Case{rounding, Structure::Symmetric}, Case{stray, Structure::Symmetric}}) {
    const Eigen::VectorXd b = rhs(c.a.rows());
    std::vector<double> x(b.data(), b.data() + b.size());
    const auto lu = lu_factorize(csr_of(c.a), kUnnamed, {});
    EXPECT_EQ(lu->structure(), c.taken);
    lu_solve(*lu, x);
    EXPECT_LT(relative_error(x, c.a.fullPivLu().solve(b)), 1e-12);
  }
}

// Rows (node i, "f") and unknowns (node i, "u") for a system of order n.
struct Names {
  quenlith::containers::field::DofList rows, cols;
  explicit Names(Eigen::Index n) {
    for (Eigen::Index i = 0; i < n; ++i) {
      rows.push(static_cast<NodeId>(i), "f");
      cols.push(static_cast<NodeId>(i), "u");
    }
  }
  SystemNames of(const char* singular = "solve: LU failed (matrix is singular)") const {
    return SystemNames{"solve", singular, rows, cols};
  }
};

TEST(Solver, FactorisationErrors) {
  EXPECT_EQ(error_text([] { lu_factorize(Csr::empty(0, 0), kUnnamed, {}); }), "solve: matrix is empty");
  EXPECT_EQ(error_text([] { lu_factorize(Csr::empty(2, 3), kUnnamed, {}); }), "solve: matrix must be square; got 2×3");
  // A row and a column without any entry: no pivot there, with or without a stored
  // zero on the diagonal, symmetric or not.
  const Names names(9);
  Dense gap = spd(3, 1);
  gap.row(4).setZero();
  gap.col(4).setZero();
  Dense gap_unsymmetric = gap;
  gap_unsymmetric(0, 1) += 0.25;
  for (const Dense& a : {gap, gap_unsymmetric})
    for (const bool stored_zero : {false, true})
      EXPECT_EQ(error_text([&] { lu_factorize(csr_of(a, stored_zero), names.of(), {}); }),
                "solve: LU failed (matrix is singular): no pivot for (NodeId(4), 'u')");
  // Unnamed systems name their unknowns by index.
  EXPECT_EQ(error_text([&] { lu_factorize(csr_of(gap), kUnnamed, {}); }),
            "solve: LU failed (matrix is singular): no pivot for #4");
}

// Null pivots are named in ascending order, three at most, the others counted.
TEST(Solver, NullPivotsAreNamedThreeAtMost) {
  struct Case {
    std::vector<Eigen::Index> empty;
    const char* text;
  };
  const Case cases[] = {
      {{7}, "no pivot for (NodeId(7), 'u')"},
      {{8, 2}, "no pivot for (NodeId(2), 'u'), (NodeId(8), 'u')"},
      {{1, 5, 3}, "no pivot for (NodeId(1), 'u'), (NodeId(3), 'u'), (NodeId(5), 'u')"},
      {{0, 6, 4, 2, 8}, "no pivot for (NodeId(0), 'u'), (NodeId(2), 'u'), (NodeId(4), 'u') and 2 more"},
  };
  const Names names(9);
  for (const Case& c : cases) {
    Dense a = Dense::Identity(9, 9) * 2.0;
    for (const Eigen::Index i : c.empty) a(i, i) = 0.0;
    EXPECT_EQ(error_text([&] { lu_factorize(csr_of(a, true), names.of("head"), {}); }), std::string("head: ") + c.text);
  }
}

// A NaN or an infinity never reaches the library (its analysis reads values out of
// bounds on some of them): the first one in row order is named, whatever chunk of
// the parallel scan meets it.
TEST(Solver, NonFiniteValuesAreRefusedFirstInRowOrder) {
  const Eigen::Index n = 300;
  Dense a = spd(20, 4).topLeftCorner(n, n);
  Dense big = Dense::Zero(n, n);
  big.setConstant(0.5);
  big.diagonal().setConstant(2.0 * n);  // dense, so the scan spans many chunks
  const Names names(n);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<std::tuple<Eigen::Index, Eigen::Index, double>> bad;
    const char* text;
  };
  const Case cases[] = {
      {{{0, 1, inf}, {1, 0, inf}}, "solve: the matrix holds a non-finite value at row (NodeId(0), 'f'), column (NodeId(1), 'u')"},
      {{{299, 3, nan}, {250, 299, -inf}}, "solve: the matrix holds a non-finite value at row (NodeId(250), 'f'), column (NodeId(299), 'u')"},
      {{{120, 7, nan}, {120, 5, inf}, {290, 1, nan}}, "solve: the matrix holds a non-finite value at row (NodeId(120), 'f'), column (NodeId(5), 'u')"},
  };
  for (const Case& c : cases) {
    Dense m = big;
    for (const auto& [r, col, v] : c.bad) m(r, col) = v;
    EXPECT_EQ(error_text([&] { lu_factorize(csr_of(m), names.of(), {}); }), c.text);
  }
  // The right-hand side likewise.
  std::vector<double> b(100000, 1.0);
  quenlith::containers::field::DofList rows;
  for (std::uint32_t i = 0; i < b.size(); ++i) rows.push(i, "f");
  b[99999] = nan;
  b[70001] = -inf;
  EXPECT_EQ(error_text([&] { refuse_non_finite_rhs(b, rows, "op"); }),
            "op: the right-hand side holds a non-finite value at (NodeId(70001), 'f')");
  b[70001] = b[99999] = 1.0;
  EXPECT_EQ(error_text([&] { refuse_non_finite_rhs(b, rows, "op"); }), "<no error>");
}

// The ordering is reseeded for every analysis: the same matrix gives the same bits,
// however many factorisations ran before and in whatever order.
TEST(Solver, RepeatedFactorisationsGiveTheSameBits) {
  const Csr a = csr_of(saddle(30, 9));
  const Csr other = csr_of(spd(25, 2));
  const Eigen::VectorXd b = rhs(a.n_rows);
  std::vector<std::vector<double>> xs;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < i; ++j) lu_factorize(other, kUnnamed, {});
    std::vector<double> x(b.data(), b.data() + b.size());
    lu_factorize(a, kUnnamed, {})->solve(x);
    xs.push_back(std::move(x));
  }
  for (const auto& x : xs) EXPECT_EQ(std::memcmp(x.data(), xs[0].data(), x.size() * sizeof(double)), 0);
}

// The library keeps state in process-wide variables: factorisations started at once
// on several threads must still each give what they give alone.
TEST(Solver, FactorisationsOnSeveralThreadsAtOnceGiveWhatTheyGiveAlone) {
  constexpr int kThreads = 8;
  std::vector<Csr> matrices;
  for (int i = 0; i < kThreads; ++i)
    matrices.push_back(csr_of(i % 2 ? saddle(24 + i, 11 + i) : spd(24 + i, 11 + i)));
  const auto solution = [&](int i) {
    const Eigen::VectorXd b = rhs(matrices[i].n_rows);
    std::vector<double> x(b.data(), b.data() + b.size());
    lu_factorize(matrices[i], kUnnamed, {})->solve(x);
    return x;
  };
  std::vector<std::vector<double>> alone, together(kThreads);
  for (int i = 0; i < kThreads; ++i) alone.push_back(solution(i));
  for (int round = 0; round < 10; ++round) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { together[i] = solution(i); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i)
      ASSERT_EQ(std::memcmp(together[i].data(), alone[i].data(), alone[i].size() * sizeof(double)), 0) << i;
  }
}

// A check that asks to stop at its n-th poll (1-based) and counts its polls.
struct StopAt {
  int at;
  std::shared_ptr<int> polls = std::make_shared<int>(0);
  store::InterruptCheck check() const {
    return store::InterruptCheck([at = at, polls = polls] { return ++*polls == at; });
  }
};

TEST(Solver, InterruptionBetweenAnalysisAndFactorisationDropsEverything) {
  StopAt stop{1};
  try {
    factorize_sparse(csr_of(spd(4, 2)), {}, stop.check());
    FAIL() << "not interrupted";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::Interrupted);
  }
  EXPECT_EQ(*stop.polls, 1);
}

// ---------------------------------------------------------------------------
// solve and the solver cache

struct Fixture {
  store::Handle<Coords> coords = store::insert(Coords(1));
  store::Handle<SubMesh> cloud;
  std::vector<NodeId> ids;
  explicit Fixture(std::uint32_t n) {
    {
      store::WriteGuard<Coords> g = store::write(coords);
      for (std::uint32_t i = 0; i < n; ++i) {
        const double x[] = {double(i)};
        ids.push_back(g->add_node(x));
      }
    }
    cloud = store::insert(SubMesh::poi1_from_ids(coords, ids));
  }
  // A finalized tridiagonal n×n matrix (diagonal d, off-diagonal -1).
  Matrix tridiagonal(double d) const {
    SubMatrix b = SubMatrix::new_(cloud, cloud, {"f"}, {"u"}, Ordering::NodesThenVars, true);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      b.add_entry(ids[i], "f", ids[i], "u", d);
      if (i) {
        b.add_entry(ids[i], "f", ids[i - 1], "u", -1.0);
        b.add_entry(ids[i - 1], "f", ids[i], "u", -1.0);
      }
    }
    Matrix m;
    m.push_sub(store::insert(std::move(b)));
    m.finalize();
    return m;
  }
  NodeField load() const {
    NodeField f = NodeField::on_submesh(cloud, {"f"});
    return f;
  }
};

class OtherPayload final : public SolverPayload {};

TEST(Solve, CacheSlotFollowsTheTable) {
  Fixture fx(5);
  const Matrix m = fx.tridiagonal(3.0);
  const NodeField b = fx.load();
  // cache off on an empty slot: stays empty.
  solve(m, b, false, {});
  EXPECT_EQ(m.solver_cache().get(), nullptr);
  // cache on: factors stored, then reused as they are.
  solve(m, b, true, {});
  const auto stored = m.solver_cache().get_as<LuFactors>();
  ASSERT_NE(stored, nullptr);
  solve(m, b, true, {});
  EXPECT_EQ(m.solver_cache().get_as<LuFactors>(), stored);
  // cache off with factors cached: the slot is neither read nor written.
  solve(m, b, false, {});
  EXPECT_EQ(m.solver_cache().get_as<LuFactors>(), stored);
  // Another solver's payload counts as absent: replaced with the cache on, kept with it off.
  m.solver_cache().set(std::make_shared<OtherPayload>());
  solve(m, b, false, {});
  EXPECT_NE(m.solver_cache().get_as<OtherPayload>(), nullptr);
  solve(m, b, true, {});
  EXPECT_NE(m.solver_cache().get_as<LuFactors>(), nullptr);
  EXPECT_NE(m.solver_cache().get_as<LuFactors>(), stored);
}

TEST(Solve, AChangeOfTheMatrixDropsItsFactors) {
  Fixture fx(4);
  Matrix m = fx.tridiagonal(3.0);
  solve(m, fx.load(), true, {});
  ASSERT_NE(m.solver_cache().get_as<LuFactors>(), nullptr);
  m.push_sub(store::insert(SubMatrix::new_(fx.cloud, fx.cloud, {"f"}, {"u"}, Ordering::NodesThenVars, true)));
  EXPECT_EQ(m.solver_cache().get(), nullptr);
}

// Polls: 1 before the factors, 2 between analysis and factorisation (only when
// factorising), 3 after the factors, 4 after the substitution.
TEST(Solve, InterruptionAtEachPhaseBoundary) {
  for (int at = 1; at <= 4; ++at) {
    SCOPED_TRACE(at);
    Fixture fx(4);
    const Matrix m = fx.tridiagonal(3.0);
    StopAt stop{at};
    EXPECT_EQ(error_text([&] { solve(m, fx.load(), true, stop.check()); }), "computation interrupted");
    EXPECT_EQ(*stop.polls, at);
    // Factors obtained before the interruption stay for the next solve.
    EXPECT_EQ(m.solver_cache().get_as<LuFactors>() != nullptr, at >= 3);
  }
  // With cached factors the factorisation's poll is not met.
  Fixture fx(4);
  const Matrix m = fx.tridiagonal(3.0);
  solve(m, fx.load(), true, {});
  StopAt count{0};
  solve(m, fx.load(), true, count.check());
  EXPECT_EQ(*count.polls, 3);
}

TEST(Solve, ASingularMatrixNamesItsUnknownAndCachesNothing) {
  Fixture fx(2);
  const Matrix m = fx.tridiagonal(1.0);  // [[1, -1], [-1, 1]] is singular
  const std::string text = error_text([&] { solve(m, fx.load(), true, {}); });
  EXPECT_TRUE(text == "solve: LU failed (matrix is singular): no pivot for (NodeId(0), 'u')" ||
              text == "solve: LU failed (matrix is singular): no pivot for (NodeId(1), 'u')")
      << text;
  EXPECT_EQ(m.solver_cache().get(), nullptr);
}

// --- sparse products of the elimination ---------------------------------------------

Dense dense_of(const Csr& a) {
  const std::vector<double> d = a.to_dense();
  Dense out(a.n_rows, a.n_cols);
  for (std::uint64_t r = 0; r < a.n_rows; ++r)
    for (std::uint64_t c = 0; c < a.n_cols; ++c) out(r, c) = d[r * a.n_cols + c];
  return out;
}

TEST(Csr, TransposeAndProductMatchDenseAlgebra) {
  Dense a = unsymmetric(4, 5);
  Dense b = Dense::Zero(a.cols(), 7);
  for (Eigen::Index r = 0; r < b.rows(); ++r) b(r, (3 * r) % 7) = 0.5 + r, b(r, (5 * r + 1) % 7) -= 1.0;
  const Csr ca = csr_of(a), cb = csr_of(b);
  const Csr t = csr_transpose(ca);
  EXPECT_FALSE(t.invalid());
  EXPECT_EQ(t.nnz(), ca.nnz());
  EXPECT_EQ(dense_of(t), a.transpose());
  const Csr p = csr_product(ca, cb);
  EXPECT_FALSE(p.invalid());
  const Dense dense_p = dense_of(p);
  EXPECT_LT((dense_p - a * b).norm(), 1e-14 * (a * b).norm());
  EXPECT_EQ(error_text([&] { csr_product(cb, cb); }), "csr_product: 16×7 times 16×7");
}

// --- the slave choice -------------------------------------------------------------

TEST(Eliminate, PivotIsTheLargestEligibleMagnitudeTheLaterOnATie) {
  const std::unordered_set<std::uint64_t> none;
  const PivotTerm tie[] = {{0, 2.0}, {1, -2.0}};
  EXPECT_EQ(pick_pivot(tie, none, none), 1u);
  const PivotTerm mixed[] = {{0, -3.0}, {1, 2.5}, {2, 1.0}};
  EXPECT_EQ(pick_pivot(mixed, none, none), 0u);
  // Slaves and masters of earlier relations are not eligible.
  EXPECT_EQ(pick_pivot(mixed, {0}, none), 1u);
  EXPECT_EQ(pick_pivot(mixed, {0}, {1}), 2u);
  EXPECT_EQ(pick_pivot(mixed, {0, 2}, {1}), std::nullopt);
  EXPECT_EQ(pick_pivot({}, none, none), std::nullopt);
  // Magnitudes compare as bit patterns: a NaN above +∞, zero eligible.
  const PivotTerm odd[] = {{0, std::nan("")}, {1, -INFINITY}, {2, 0.0}};
  EXPECT_EQ(pick_pivot(odd, none, none), 0u);
  EXPECT_EQ(pick_pivot(odd, none, {0}), 1u);
  EXPECT_EQ(pick_pivot(odd, none, {0, 1}), 2u);
}

// A chain of 4 nodes and unit springs whose first u is held at 0.5 by a Dirichlet relation
// with its multiplier at a fifth node: the saddle-point matrix and its model.
struct HeldBar {
  store::Handle<Coords> coords = store::insert(Coords(1));
  std::vector<NodeId> ids;
  store::Handle<SubMesh> cloud;
  quenlith::containers::model::Model model;
  Matrix matrix;
  HeldBar() {
    {
      store::WriteGuard<Coords> g = store::write(coords);
      for (int i = 0; i < 5; ++i) {
        const double x[] = {double(i)};
        ids.push_back(g->add_node(x));
      }
    }
    const std::vector<NodeId> bar(ids.begin(), ids.begin() + 4);
    cloud = store::insert(SubMesh::poi1_from_ids(coords, bar));
    SubMatrix k = SubMatrix::new_(cloud, cloud, {"f"}, {"u"}, Ordering::NodesThenVars, true);
    for (std::size_t i = 0; i < bar.size(); ++i) {
      k.add_entry(bar[i], "f", bar[i], "u", i == 0 || i + 1 == bar.size() ? 1.0 : 2.0);  // unit springs
      if (i) {
        k.add_entry(bar[i], "f", bar[i - 1], "u", -1.0);
        k.add_entry(bar[i - 1], "f", bar[i], "u", -1.0);
      }
    }
    matrix.push_sub(store::insert(std::move(k)));
    using MeshHandles = std::vector<store::Handle<SubMesh>>;
    const NodeId held_id[] = {ids[0]}, multiplier_id[] = {ids[4]};
    const quenlith::containers::mesh::Mesh held(MeshHandles{store::insert(SubMesh::poi1_from_ids(coords, held_id))});
    const quenlith::containers::mesh::Mesh multiplier(
        MeshHandles{store::insert(SubMesh::poi1_from_ids(coords, multiplier_id))});
    const store::Handle<quenlith::containers::model::SubModel> h =
        store::insert(quenlith::containers::model::SubModel::of(quenlith::models::Dirichlet::create(
            "u", "f", held, multiplier, std::nullopt, std::nullopt, quenlith::models::Sense::Equal)));
    std::vector<quenlith::models::BlockRecipe> recipes =
        store::read(h)->kind().block_recipes(quenlith::models::OperatorKind::Stiffness, std::nullopt);
    for (SubMatrix& b : std::get<quenlith::models::LiteralBlocks>(recipes.at(0)))
      matrix.push_sub(store::insert(std::move(b)));
    matrix.finalize();
    model.push_sub(h);
  }
  NodeField rhs() const {
    quenlith::containers::field::DofList dofs;
    dofs.push(ids[4], "imposed_u");
    dofs.push(ids[3], "f");
    return NodeField::from_dof_values(coords, dofs, {0.5, 1.0});
  }
};

// Polls: 1 on entry, 2 once the condensation is there, 3 before the reduced
// substitution, 4 before the reactions. An interruption after the condensation was
// obtained leaves it stored for the next call.
TEST(Eliminate, InterruptionAtEachPhaseBoundaryKeepsTheCondensation) {
  HeldBar fx;
  const NodeField b = fx.rhs();
  const NodeField reference = solve_eliminate(fx.model, fx.matrix, b, true, {});
  const std::shared_ptr<const Condensation> stored = fx.matrix.solver_cache().get_as<Condensation>();
  ASSERT_NE(stored, nullptr);
  StopAt count{0};
  solve_eliminate(fx.model, fx.matrix, b, true, count.check());
  EXPECT_EQ(*count.polls, 4);
  for (int at = 1; at <= 4; ++at) {
    SCOPED_TRACE(at);
    StopAt stop{at};
    EXPECT_EQ(error_text([&] { solve_eliminate(fx.model, fx.matrix, b, true, stop.check()); }),
              "computation interrupted");
    EXPECT_EQ(*stop.polls, at);
    EXPECT_EQ(fx.matrix.solver_cache().get_as<Condensation>(), stored);
  }
  // Interrupted on entry with an empty slot: nothing is built or stored.
  HeldBar fresh;
  StopAt first{1};
  EXPECT_EQ(error_text([&] { solve_eliminate(fresh.model, fresh.matrix, fresh.rhs(), true, first.check()); }),
            "computation interrupted");
  EXPECT_EQ(fresh.matrix.solver_cache().get(), nullptr);
  // u_0 = 0.5 held, a unit load at the free end: u = 0.5 + (1, 2, 3) · 1 along the bar
  // (the held node's row is left unbalanced by f_0 − (K·u)_0 = 0 − (0.5 − 1.5) = 1).
  const NodeField again = solve_eliminate(fx.model, fx.matrix, b, true, {});
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(*again.value(fx.ids[i], "u"), 0.5 + i, 1e-12) << i;
  EXPECT_NEAR(*again.value(fx.ids[0], "f"), 1.0, 1e-12);
  EXPECT_EQ(*again.value(fx.ids[3], "u"), *reference.value(fx.ids[3], "u"));
}

// --- the unilateral solve without a model ----------------------------------------------

// A 1-D chain of springs with one multiplier per inequality x[node] >= g (rows and
// columns n.. for the multipliers), its relations and right-hand side.
struct Chain {
  Dense a;
  std::vector<UnilateralRelation> relations;
  std::vector<double> b;
};

Chain chain(int nodes, const std::vector<std::pair<int, double>>& bounds, const std::vector<double>& loads,
            bool anchored) {
  Chain c;
  const int m = static_cast<int>(bounds.size());
  c.a = Dense::Zero(nodes + m, nodes + m);
  for (int i = 0; i + 1 < nodes; ++i) {
    c.a(i, i) += 1.0, c.a(i + 1, i + 1) += 1.0, c.a(i, i + 1) -= 1.0, c.a(i + 1, i) -= 1.0;
  }
  if (anchored) c.a(0, 0) += 1.0;
  c.b.assign(nodes + m, 0.0);
  for (int i = 0; i < nodes; ++i) c.b[i] = loads[i];
  for (int k = 0; k < m; ++k) {
    const int row = nodes + k;
    c.a(row, bounds[k].first) = c.a(bounds[k].first, row) = 1.0;
    c.b[row] = bounds[k].second;
    c.relations.push_back(UnilateralRelation{{{static_cast<std::uint64_t>(bounds[k].first), 1.0}},
                                             static_cast<std::uint64_t>(row),
                                             static_cast<std::uint64_t>(row),
                                             quenlith::models::Sense::GreaterEqual});
  }
  return c;
}

TEST(Unilateral, StatusChangesOnlyBeyondTheTolerance) {
  const std::vector<UnilateralRelation> r = {
      {{{0, 1.0}}, 2, 2, quenlith::models::Sense::GreaterEqual},
      {{{1, 2.0}}, 3, 3, quenlith::models::Sense::LessEqual},
  };
  const std::vector<double> b = {0, 0, 1.0, 1.0};
  const double tol = 0.5;
  // Active: a multiplier exactly at ±tol keeps its status; beyond it releases.
  Status s = {1, 1};
  EXPECT_FALSE(update_status(r, s, std::vector<double>{0, 0, 0.5, -0.5}, b, tol));
  EXPECT_TRUE(update_status(r, s, std::vector<double>{0, 0, 0.75, -0.75}, b, tol));
  EXPECT_EQ(s, (Status{0, 0}));
  // Released: a gap exactly at ∓tol keeps it; beyond it activates (x0 − 1 < −tol,
  // 2·x1 − 1 > tol).
  EXPECT_FALSE(update_status(r, s, std::vector<double>{0.5, 0.75, 0, 0}, b, tol));
  EXPECT_TRUE(update_status(r, s, std::vector<double>{0.25, 0.8, 0, 0}, b, tol));
  EXPECT_EQ(s, (Status{1, 1}));
  // NaN multipliers and gaps change nothing.
  const double nan = std::nan("");
  EXPECT_FALSE(update_status(r, s, std::vector<double>{0, 0, nan, nan}, b, tol));
  s = {0, 0};
  EXPECT_FALSE(update_status(r, s, std::vector<double>{nan, nan, 0, 0}, b, tol));
}

TEST(Unilateral, SchurPathStaysWithinItsMemoryBudget) {
  // Columns and the dense system never take more than this.
  EXPECT_EQ(kSchurBudgetBytes, std::uint64_t{1} << 30);
  // Pulled up at node 2 and pushed down at node 4 against floors at -0.1.
  const int nodes = 6;
  const Chain c = chain(nodes, {{1, -0.1}, {3, -0.1}, {4, -0.1}, {5, -0.1}}, {0, 0, 0.3, 0, -1.0, 0}, true);
  const Csr a = csr_of(c.a);
  const UnilateralOptions refactor{100, 1e-10, true, false};
  UnilateralSetup reference({}, {}, c.relations);
  const std::vector<double> expected = solve_unilateral_refactorize(reference, a, c.b, refactor, {});

  // One column and its dense row need 11·8 bytes; the first iteration, with every
  // relation active, needs four.
  const std::uint64_t n = c.a.rows();
  for (const std::uint64_t budget : {4 * (n + 4) * 8 - 1, 4 * (n + 4) * 8}) {
    SCOPED_TRACE(budget);
    UnilateralSetup setup({}, {}, c.relations);
    UnilateralOptions options;
    options.schur_budget_bytes = budget;
    const std::optional<std::vector<double>> x = solve_unilateral_schur(setup, a, c.b, options, {});
    EXPECT_EQ(setup.schur_state.phase, UnilateralSetup::SchurPhase::Ready);
    if (budget < 4 * (n + 4) * 8) {
      // Refused before any column is made: the refactorize path takes over.
      EXPECT_FALSE(x);
      EXPECT_TRUE(setup.schur_state.columns.empty());
      EXPECT_FALSE(setup.schur_state.status);
    } else {
      ASSERT_TRUE(x);
      EXPECT_LT(relative_error(*x, Eigen::Map<const Eigen::VectorXd>(expected.data(), n)), 1e-12);
      EXPECT_EQ(setup.schur_state.columns.size(), 4u);
      EXPECT_TRUE(setup.schur_state.status);
    }
  }
}

TEST(Unilateral, ASingularBaseIsNeverRetried) {
  // Held only by its floors: with every relation released the chain floats.
  const Chain c = chain(4, {{0, 0.0}, {3, 0.0}}, {-1.0, 0, 0, -1.0}, false);
  const Csr a = csr_of(c.a);
  UnilateralSetup setup({}, {}, c.relations);
  UnilateralOptions options;
  EXPECT_FALSE(solve_unilateral_schur(setup, a, c.b, options, {}));
  EXPECT_EQ(setup.schur_state.phase, UnilateralSetup::SchurPhase::Singular);
  EXPECT_FALSE(solve_unilateral_schur(setup, a, c.b, options, {}));
  const std::vector<double> x = solve_unilateral_refactorize(setup, a, c.b, options, {});
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(x[i], 0.0, 1e-12);
  EXPECT_NEAR(x[4] + x[5], -2.0, 1e-12);  // the floors carry the two loads (λ <= 0 is the push)
  EXPECT_TRUE(setup.refactorize_state.status);
}

TEST(Unilateral, EveryPollOfTheLoopInterruptsWithoutStoringAStatus) {
  const Chain c = chain(6, {{1, -0.1}, {3, -0.1}, {4, -0.1}, {5, -0.1}}, {0, 0, 0.3, 0, -1.0, 0}, true);
  const Csr a = csr_of(c.a);
  for (const bool refactorize : {false, true}) {
    SCOPED_TRACE(refactorize);
    UnilateralOptions options;
    options.refactorize = refactorize;
    const auto run = [&](UnilateralSetup& setup, const store::InterruptCheck& check) {
      if (!refactorize) return *solve_unilateral_schur(setup, a, c.b, options, check);
      return solve_unilateral_refactorize(setup, a, c.b, options, check);
    };
    StopAt count{0};
    {
      UnilateralSetup setup({}, {}, c.relations);
      run(setup, count.check());
    }
    // Two polls per iteration at least (before the solve, before the status update).
    ASSERT_GE(*count.polls, 4);
    for (int at = 1; at <= *count.polls; ++at) {
      SCOPED_TRACE(at);
      UnilateralSetup setup({}, {}, c.relations);
      StopAt stop{at};
      EXPECT_EQ(error_text([&] { run(setup, stop.check()); }), "computation interrupted");
      EXPECT_FALSE(setup.refactorize_state.status);
      EXPECT_FALSE(setup.schur_state.status);
      // The setup stays usable: the next call converges.
      run(setup, {});
      EXPECT_TRUE(refactorize ? setup.refactorize_state.status : setup.schur_state.status);
    }
  }
}

TEST(Unilateral, StatusMatrixReplacesTheReleasedRows) {
  const Chain c = chain(3, {{0, 0.5}, {2, 0.5}}, {0, 0, 0}, true);
  const Csr s = status_matrix(csr_of(c.a), c.relations, Status{1, 0});
  Dense expected = c.a;
  expected.row(4).setZero();
  expected(4, 4) = 1.0;
  EXPECT_EQ(dense_of(s), expected);
}

}  // namespace

