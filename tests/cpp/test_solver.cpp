// The sparse direct solver in the core: factorisations of small matrices against a
// dense reference for every fill-reducing ordering and both factorisation kinds,
// the choice between them (a matrix symmetric in pattern but not in values, or the
// reverse, must not take the symmetric path), the error texts, the interruption
// polled between the phases, and what `solve` leaves in the matrix's solver cache.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/error.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "ops/solver/lu.hpp"
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

// lu_factorize picks L·D·Lᵀ only for an exactly symmetric matrix: each of these,
// taken as symmetric, would solve another system.
TEST(Solver, OnlyExactlySymmetricMatricesTakeTheSymmetricPath) {
  Dense values_differ = spd(5, 3);
  values_differ(1, 0) += 0.25;
  Dense lower_only = spd(5, 3);
  lower_only(7, 1) = 0.5;  // (1, 7) not stored
  Dense signed_zero = spd(5, 3);
  signed_zero(2, 3) = 0.3;  // an upper entry whose mirror is absent
  for (const Dense& a : {values_differ, lower_only, signed_zero, spd(5, 3), saddle(5, 3)}) {
    const Eigen::VectorXd b = rhs(a.rows());
    std::vector<double> x(b.data(), b.data() + b.size());
    lu_solve(*lu_factorize(csr_of(a), {}), x);
    EXPECT_LT(relative_error(x, a.fullPivLu().solve(b)), 1e-12);
  }
}

TEST(Solver, FactorisationErrors) {
  EXPECT_EQ(error_text([] { lu_factorize(Csr::empty(0, 0), {}); }), "solve: matrix is empty");
  EXPECT_EQ(error_text([] { lu_factorize(Csr::empty(2, 3), {}); }), "solve: matrix must be square; got 2×3");
  // A row and a column without any entry.
  Dense gap = spd(3, 1);
  gap.row(4).setZero();
  gap.col(4).setZero();
  EXPECT_EQ(error_text([&] { lu_factorize(csr_of(gap), {}); }).rfind("solve: LU failed (singular?): ", 0), 0u);
  // Explicitly stored zeros on that diagonal change nothing.
  EXPECT_EQ(error_text([&] { lu_factorize(csr_of(gap, true), {}); }).rfind("solve: LU failed (singular?): ", 0), 0u);
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

TEST(Solve, NonFiniteSolutionIsASingularMatrix) {
  Fixture fx(2);
  const Matrix m = fx.tridiagonal(1.0);  // [[1, -1], [-1, 1]] is singular
  const std::string text = error_text([&] { solve(m, fx.load(), true, {}); });
  EXPECT_TRUE(text == "solve: LU failed (matrix is singular)" || text.rfind("solve: LU failed (singular?): ", 0) == 0)
      << text;
}

}  // namespace
