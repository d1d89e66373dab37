// Matrix blocks and the global matrix in the core: the compressed-row builder against
// a plain reference (any thread count, both column widths), block construction and
// entries, degree-of-freedom tables with and without a node permutation, finalize,
// the finalized-form-only matrices of lump, and the block's swap record.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <stdlib.h>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/lump.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace store = quenlith::store;
namespace parallel = quenlith::parallel;
using namespace quenlith::containers::matrix;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::NodeId;
using quenlith::containers::mesh::SubMesh;
using quenlith::testing::error_text;
using store::Handle;

// ---------------------------------------------------------------------------
// Compressed rows

using Ref = std::map<std::pair<std::uint64_t, std::uint64_t>, double>;

// The plain definition: every triplet added at its (mapped) position, in order.
Ref reference(std::span<const TripletSource> sources) {
  Ref ref;
  for (const TripletSource& s : sources)
    for (std::size_t t = 0; t < s.rows.size(); ++t) {
      const std::uint64_t r = s.row_map.empty() ? s.rows[t] : s.row_map[s.rows[t]];
      const std::uint64_t c = s.col_map.empty() ? s.cols[t] : s.col_map[s.cols[t]];
      auto [it, fresh] = ref.try_emplace({r, c}, s.values[t] * s.factor);
      if (!fresh) it->second += s.values[t] * s.factor;
    }
  return ref;
}

Ref as_map(const Csr& csr) {
  Ref out;
  for (std::uint64_t r = 0; r < csr.n_rows; ++r)
    for (std::uint64_t k = csr.row_begin(r); k < csr.row_end(r); ++k) out[{r, csr.col(k)}] = csr.values[k];
  return out;
}

struct Triplets {
  std::vector<std::uint32_t> rows, cols;
  std::vector<double> values;
};

Triplets random_triplets(std::uint64_t n, std::uint64_t n_rows, std::uint64_t n_cols, unsigned seed) {
  std::mt19937_64 gen(seed);
  Triplets t;
  for (std::uint64_t k = 0; k < n; ++k) {
    t.rows.push_back(static_cast<std::uint32_t>(gen() % n_rows));
    t.cols.push_back(static_cast<std::uint32_t>(gen() % n_cols));
    t.values.push_back(std::ldexp(double(gen() % 2001) - 1000.0, -int(gen() % 20)));
  }
  return t;
}

struct CsrCase {
  const char* name;
  std::uint64_t n_rows, n_cols, n_triplets;
};

class CsrBuild : public ::testing::TestWithParam<CsrCase> {};

TEST_P(CsrBuild, MatchesReferenceAndIsIdenticalForAnyThreadCount) {
  const CsrCase c = GetParam();
  // Two sources: the second through maps (a reversal of rows and columns) with a factor.
  const Triplets a = random_triplets(c.n_triplets, c.n_rows, c.n_cols, 1);
  const Triplets b = random_triplets(c.n_triplets == 0 ? 0 : c.n_triplets / 3 + 1, c.n_rows, c.n_cols, 2);
  std::vector<std::uint64_t> row_map(c.n_rows), col_map(c.n_cols);
  for (std::uint64_t i = 0; i < c.n_rows; ++i) row_map[i] = c.n_rows - 1 - i;
  for (std::uint64_t j = 0; j < c.n_cols; ++j) col_map[j] = c.n_cols - 1 - j;
  const TripletSource sources[] = {{a.rows, a.cols, a.values, {}, {}, 1.0},
                                   {b.rows, b.cols, b.values, row_map, col_map, -0.5}};
  const Csr all = csr_from_triplets_parallel(c.n_rows, c.n_cols, sources);
  EXPECT_FALSE(all.invalid().has_value());
  EXPECT_EQ(as_map(all), reference(sources));
  EXPECT_EQ(all.cols.index(), 0u) << "32-bit column indices fit";
  Csr one;
  {
    parallel::ThreadLimit limit(1);
    one = csr_from_triplets_parallel(c.n_rows, c.n_cols, sources);
  }
  EXPECT_EQ(std::vector<std::uint64_t>(one.offsets.begin(), one.offsets.end()),
            std::vector<std::uint64_t>(all.offsets.begin(), all.offsets.end()));
  ASSERT_EQ(one.nnz(), all.nnz());
  for (std::uint64_t k = 0; k < one.nnz(); ++k) {
    ASSERT_EQ(one.col(k), all.col(k));
    ASSERT_EQ(std::bit_cast<std::uint64_t>(one.values[k]), std::bit_cast<std::uint64_t>(all.values[k])) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CsrBuild,
                         ::testing::Values(CsrCase{"empty", 0, 0, 0}, CsrCase{"one_row", 1, 50, 400},
                                           CsrCase{"few_long_rows", 7, 9000, 60000},
                                           CsrCase{"split_placement", 300, 300, 400000},
                                           CsrCase{"many_short_rows", 50000, 50000, 120000},
                                           // Rows summed by about 3 and by about 1.02: the sorted
                                           // ranges are brought together in few or in many rounds.
                                           CsrCase{"heavy_repeats", 2000, 64, 400000},
                                           CsrCase{"rare_repeats", 4000, 2000, 300000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Csr, SumsRepeatsInListOrderAndKeepsZeros) {
  // 1e16 + 1 - 1e16 is 0 in this order, 1 in another: the order is the list's.
  const std::vector<std::uint32_t> rows = {0, 0, 0, 1, 1, 0};
  const std::vector<std::uint32_t> cols = {1, 1, 1, 0, 0, 0};
  const std::vector<double> values = {1e16, 1.0, -1e16, 1.0, -1.0, 0.0};
  const TripletSource s{rows, cols, values, {}, {}, 1.0};
  const Csr csr = csr_from_triplets_parallel(2, 2, std::span(&s, 1));
  ASSERT_EQ(csr.nnz(), 3u);
  EXPECT_EQ(csr.find(0, 0), 0.0);
  EXPECT_EQ(csr.find(0, 1), 0.0);
  EXPECT_EQ(csr.find(1, 0), 0.0) << "1 and -1 at one pair give a stored zero";
  EXPECT_FALSE(csr.find(1, 1).has_value());
  EXPECT_EQ(csr_position(csr, 0, 1), 1u);
  EXPECT_EQ(error_text([&] { csr_position(csr, 1, 1); }), "scatter: entry (1, 1) absent from the CSR pattern");
}

TEST(Csr, WideColumnIndicesBeyond32Bits) {
  const std::uint64_t n_cols = (std::uint64_t{1} << 32) + 10;
  // Local columns mapped far beyond 32 bits, as a matrix of that many columns would.
  const std::vector<std::uint32_t> rows = {1, 0, 1, 1};
  const std::vector<std::uint32_t> cols = {2, 1, 0, 2};
  const std::vector<std::uint64_t> col_map = {3, 5, n_cols - 1};
  const std::vector<double> values = {1.0, 2.0, 3.0, 4.0};
  const TripletSource s{rows, cols, values, {}, col_map, 1.0};
  const Csr csr = csr_from_triplets_parallel(2, n_cols, std::span(&s, 1));
  EXPECT_EQ(csr.cols.index(), 1u);
  EXPECT_EQ(as_map(csr), reference(std::span(&s, 1)));
}

TEST(Csr, ValidationNamesTheBrokenInvariant) {
  Csr csr = Csr::empty(2, 3);
  EXPECT_FALSE(csr.invalid().has_value());
  csr.offsets = {0, 2, 2};
  std::get<0>(csr.cols) = {2, 1};
  csr.values = {1.0, 2.0};
  EXPECT_EQ(csr.invalid(), "column indices of row 0 are not strictly increasing");
  std::get<0>(csr.cols) = {1, 3};
  EXPECT_EQ(csr.invalid(), "column index 3 out of bounds (ncols=3)");
}

// ---------------------------------------------------------------------------
// Blocks

// A Coords of n nodes on the x axis and POI1 / SEG2 supports over them.
struct Fixture {
  Handle<Coords> coords;
  explicit Fixture(std::uint32_t n) : coords(store::insert(Coords(2))) {
    store::WriteGuard<Coords> g = store::write(coords);
    for (std::uint32_t i = 0; i < n; ++i) {
      const double xy[] = {double(i), 0.0};
      g->add_node(xy);
    }
  }
  Handle<SubMesh> poi1(std::vector<NodeId> ids) const {
    return store::insert(SubMesh::poi1_from_ids(coords, ids));
  }
  Handle<SubMesh> seg2(std::vector<NodeId> ids) const {
    Handle<SubMesh> h = store::insert(SubMesh(ElementType::SEG2, coords));
    store::WriteGuard<SubMesh> g = store::write(h);
    for (std::size_t k = 0; k + 1 < ids.size(); k += 2) g->add_cell(std::span(ids).subspan(k, 2));
    return h;
  }
  void set_permutation(std::vector<std::uint32_t> perm) const { store::write(coords)->set_permutation(perm); }
};

using Vars = std::vector<std::string>;

bool sealed(const Handle<SubMesh>& h) { return store::read(h)->is_sealed(); }

TEST(SubMatrix, ConstructionSealsSupportsAndCopiesTheirConnectivity) {
  Fixture f(4);
  const auto rows = f.seg2({0, 1, 1, 2});
  const auto cols = f.poi1({3, 2});
  SubMatrix b = SubMatrix::new_(rows, cols, {"a", "b"}, {"c"}, Ordering::NodesThenVars, true);
  EXPECT_TRUE(sealed(rows));
  EXPECT_TRUE(sealed(cols));
  EXPECT_EQ(std::vector<NodeId>(b.row_nodes().begin(), b.row_nodes().end()), (std::vector<NodeId>{0, 1, 1, 2}));
  EXPECT_EQ(b.n_rows(), 8u) << "a node shared by two cells counts twice";
  EXPECT_EQ(b.n_cols(), 2u);
  // add_entry addresses the first appearance of a repeated node.
  b.add_entry(1, "b", 2, "c", 5.0);
  EXPECT_EQ(b.coo().rows[0], 3u);
  EXPECT_EQ(b.coo().cols[0], 1u);

  CooMatrix too_big{9, 2, {}, {}, {}};
  const auto r2 = f.poi1({0});
  const auto c2 = f.poi1({1});
  EXPECT_EQ(error_text([&] { SubMatrix::from_coo(r2, c2, {"a"}, {"b", "c"}, Ordering::NodesThenVars, false, too_big); }),
            "from_coo: COO is 9×2 but the support/vars imply 1×2");
  EXPECT_TRUE(sealed(r2) && sealed(c2)) << "sealing comes before the size check";
}

TEST(SubMatrix, OrderingsEnumeratePairs) {
  Fixture f(30);
  const auto s = f.poi1({10, 20});
  const SubMatrix nv = SubMatrix::new_(s, s, {"a", "b"}, {"a", "b"}, Ordering::NodesThenVars, false);
  const SubMatrix vn = SubMatrix::new_(s, s, {"a", "b"}, {"a", "b"}, Ordering::VarsThenNodes, false);
  const std::vector<Dof> node_major = {{10, "a"}, {10, "b"}, {20, "a"}, {20, "b"}};
  const std::vector<Dof> var_major = {{10, "a"}, {20, "a"}, {10, "b"}, {20, "b"}};
  EXPECT_EQ(nv.row_dofs(), node_major);
  EXPECT_EQ(vn.col_dofs(), var_major);
}

TEST(SubMatrix, AddEntryChecksInOrderAndStoresNothingOnFailure) {
  Fixture f(5);
  const auto s = f.poi1({1, 2});
  SubMatrix b = SubMatrix::new_(s, s, {"u"}, {"v"}, Ordering::NodesThenVars, false);
  EXPECT_EQ(error_text([&] { b.add_entry(4, "x", 1, "v", 1.0); }), "add_entry: row node 4 not in row_support");
  EXPECT_EQ(error_text([&] { b.add_entry(1, "x", 4, "v", 1.0); }), "add_entry: row var 'x' not in dual_vars");
  EXPECT_EQ(error_text([&] { b.add_entry(1, "u", 4, "x", 1.0); }), "add_entry: col node 4 not in col_support");
  EXPECT_EQ(error_text([&] { b.add_entry(1, "u", 2, "x", 1.0); }), "add_entry: col var 'x' not in primal_vars");
  EXPECT_EQ(b.entry_count(), 0u);

  SubMatrix empty_vars = SubMatrix::new_(s, s, {}, {"v"}, Ordering::NodesThenVars, false);
  EXPECT_EQ(empty_vars.n_rows(), 0u);
  EXPECT_EQ(error_text([&] { empty_vars.add_entry(1, "u", 1, "v", 1.0); }), "add_entry: row var 'u' not in dual_vars");
}

TEST(SubMatrix, RepeatsAccumulateWhereverRead) {
  Fixture f(3);
  const auto s = f.poi1({0, 1});
  SubMatrix b = SubMatrix::new_(s, s, {"u"}, {"u"}, Ordering::NodesThenVars, false);
  b.add_entry(0, "u", 1, "u", 2.0);
  b.add_entry(0, "u", 1, "u", 3.0);
  b.add_entry(1, "u", 1, "u", 0.0);
  EXPECT_EQ(b.entry_count(), 3u);
  EXPECT_EQ(b.get(0, "u", 1, "u"), 5.0);
  EXPECT_TRUE(std::signbit(b.get(1, "u", 0, "u"))) << "an empty position inside the block is -0.0";
  EXPECT_FALSE(std::signbit(b.get(2, "u", 0, "u"))) << "a node outside the block is 0.0";
  EXPECT_EQ(b.to_dense(), (std::vector<double>{0.0, 5.0, 0.0, 0.0}));
  b.set_factor(2.0);
  EXPECT_EQ(b.mul_dense(std::vector<double>{1.0, 10.0}), (std::vector<double>{100.0, 0.0}));
  EXPECT_EQ(b.entries()[1].value, 6.0);
  EXPECT_EQ(error_text([&] { b.mul_dense(std::vector<double>{1.0}); }),
            "mul_dense: x has length 1 but sub-matrix has 2 columns");
  EXPECT_EQ(b.display_text(), "SubMatrix: 2 row(s) × 2 col(s), 3 entries, ×2");
}

TEST(SubMatrix, FieldNamesAndTexts) {
  Fixture f(2);
  const auto s = f.poi1({0, 1});
  SubMatrix b = SubMatrix::new_(s, s, {"u_x", "u_y"}, {"u_y", "lambda"}, Ordering::VarsThenNodes, true);
  EXPECT_EQ(b.field_names(), (Vars{"u_x", "u_y", "lambda"}));
  b.set_physics({Physics::Mechanical, Physics::Constraint});
  b.set_factor(0.1);
  EXPECT_EQ(b.display_text(), "SubMatrix: 4 row(s) × 4 col(s), 0 entries, symmetric, mechanical+constraint, ×0.1");
  EXPECT_EQ(b.debug_text(),
            "SubMatrix { n_rows: 4, n_cols: 4, entries: 0, symmetric: true, dual_vars: [\"u_x\", \"u_y\"], "
            "primal_vars: [\"u_y\", \"lambda\"], ordering: VarsThenNodes, factor: 0.1 }");
}

// ---------------------------------------------------------------------------
// Matrix: tables, finalize, compositions

// A one-block matrix over `s` x `s` with these entries.
Matrix::Block literal(const Handle<SubMesh>& rows, const Handle<SubMesh>& cols, Vars dual, Vars primal,
                      const std::vector<std::tuple<NodeId, std::string, NodeId, std::string, double>>& entries,
                      Ordering ordering = Ordering::NodesThenVars) {
  SubMatrix b = SubMatrix::new_(rows, cols, std::move(dual), std::move(primal), ordering, true);
  for (const auto& [rn, rv, cn, cv, v] : entries) b.add_entry(rn, rv, cn, cv, v);
  return store::insert(std::move(b));
}

TEST(Matrix, TablesListFirstAppearancesThenFollowThePermutation) {
  Fixture f(3);
  const auto s = f.poi1({0, 1, 2});
  Matrix m;
  m.push_sub(literal(f.poi1({2, 0}), s, {"b"}, {"a"}, {}));
  m.push_sub(literal(s, s, {"a", "b"}, {"a"}, {}));
  EXPECT_EQ(m.row_dofs(), (std::vector<Dof>{{2, "b"}, {0, "b"}, {0, "a"}, {1, "a"}, {1, "b"}, {2, "a"}}));
  f.set_permutation({2, 0, 1});
  Matrix p;
  p.push_sub(literal(s, s, {"a", "b"}, {"a"}, {}));
  EXPECT_EQ(p.row_dofs(), (std::vector<Dof>{{1, "a"}, {1, "b"}, {2, "a"}, {2, "b"}, {0, "a"}, {0, "b"}}));
  EXPECT_EQ(p.col_dofs(), (std::vector<Dof>{{1, "a"}, {2, "a"}, {0, "a"}}));
}

TEST(Matrix, PermutationThatDoesNotCoverANodeIsAnError) {
  Fixture f(3);
  Fixture other(5);
  const auto s = f.poi1({0, 1});
  f.set_permutation({1, 0, 2});
  Matrix m;
  m.push_sub(literal(s, other.poi1({4}), {"a"}, {"a"}, {}));
  const std::string text = "build_dof_table: node 4 has no place in the node permutation (length 3) of the first "
                           "block's Coords";
  EXPECT_EQ(error_text([&] { m.col_dofs(); }), text);
  EXPECT_EQ(error_text([&] { m.finalize(); }), text);
  EXPECT_FALSE(m.is_finalized());
}

TEST(Matrix, FinalizeSumsBlocksTimesFactorsAndIsASnapshot) {
  Fixture f(2);
  const auto s = f.poi1({0, 1});
  const auto a = literal(s, s, {"u"}, {"u"}, {{0, "u", 0, "u", 1.0}, {1, "u", 0, "u", 0.0}});
  SubMatrix scaled = SubMatrix::new_(s, s, {"u"}, {"u"}, Ordering::VarsThenNodes, false);
  scaled.add_entry(0, "u", 0, "u", 3.0);
  scaled.set_factor(2.0);
  const auto b = store::insert(std::move(scaled));
  Matrix m;
  m.push_sub(a);
  m.push_sub(b);
  m.push_sub(a);  // listed twice: summed twice
  EXPECT_EQ(m.entry_count(), 5u);
  EXPECT_FALSE(m.symmetric());
  m.finalize();
  EXPECT_EQ(m.to_dense(), (std::vector<double>{8.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(m.finalized()->csr.nnz(), 2u) << "the explicit zero is stored";
  store::write(a)->add_entry(1, "u", 1, "u", 7.0);
  m.finalize();
  EXPECT_EQ(m.get(1, "u", 1, "u"), 0.0) << "a second finalize does nothing";
  EXPECT_EQ(m.get(5, "u", 1, "u"), 0.0);
  EXPECT_EQ(m.mul_dense(std::vector<double>{1.0, 1.0}), (std::vector<double>{8.0, 0.0}));
  EXPECT_EQ(error_text([&] { m.mul_dense(std::vector<double>{1.0}); }),
            "mul_dense: x has length 1 but matrix has 2 columns");
  Matrix fresh;
  fresh.push_sub(a);
  EXPECT_EQ(error_text([&] { fresh.to_dense(); }), "Matrix has not been finalized; call finalize() before solving");
  EXPECT_EQ(fresh.get(1, "u", 1, "u"), 7.0) << "unfinalized: the blocks are read";
}

TEST(Matrix, FinalizeRefusesAComputedBlock) {
  Fixture f(2);
  const auto s = f.poi1({0, 1});
  Matrix m;
  m.push_sub(store::insert(SubMatrix::computed(s, s, {"u"}, {"u"}, Ordering::NodesThenVars, true, ComputedRecipe{})));
  EXPECT_EQ(error_text([&] { m.finalize(); }).substr(0, 52), "Matrix::finalize: this matrix carries a computed blo");
  EXPECT_FALSE(m.is_finalized());
  SubMatrix c = SubMatrix::computed(s, s, {"u"}, {"u"}, Ordering::NodesThenVars, true, ComputedRecipe{});
  EXPECT_EQ(error_text([&] { c.add_entry(0, "u", 0, "u", 1.0); }),
            "add_entry: this is a computed block (its values come from its recipe at assembly time); literal entries "
            "cannot be added");
  EXPECT_EQ(c.display_text(), "SubMatrix: 2 row(s) × 2 col(s), computed (values from recipe), symmetric");
}

TEST(Matrix, UnionsKeepEachBlockOnceAndSelectionsKeepRepeats) {
  Fixture f(2);
  const auto s = f.poi1({0, 1});
  const auto a = literal(s, s, {"u"}, {"u"}, {{0, "u", 0, "u", 1.0}});
  const auto b = literal(s, s, {"u"}, {"u"}, {{1, "u", 1, "u", 1.0}});
  Matrix m;
  m.push_sub(a);
  m.push_sub(a);
  EXPECT_EQ(Matrix::union_(m, Matrix()).size(), 1u);
  EXPECT_EQ(Matrix::union_(m, m).size(), 1u);
  EXPECT_EQ(m.union_sub(b).size(), 2u);
  const std::uint64_t idx[] = {1, 0, 0};
  EXPECT_EQ(m.slice(idx).size(), 3u);
  const std::uint64_t bad[] = {2};
  EXPECT_EQ(error_text([&] { m.slice(bad); }), "index 2 out of bounds (len=2)");
  const Matrix one = Matrix::union_(a, a);
  EXPECT_TRUE(one.is_finalized());
  EXPECT_EQ(one.size(), 1u);
  EXPECT_EQ(Matrix().display_text(), "Matrix: 0 sub-matrix(es), 0 row(s) × 0 col(s), symmetric");
  Matrix empty;
  empty.finalize();
  EXPECT_EQ(empty.finalized()->csr.n_rows, 0u);
}

TEST(Matrix, ScaledCopiesAreNewBlocksWithScaledFactors) {
  Fixture f(1);
  const auto s = f.poi1({0});
  Matrix m;
  m.push_sub(literal(s, s, {"u"}, {"u"}, {{0, "u", 0, "u", 3.0}}));
  m.finalize();
  const Matrix twice = m.mul_scalar(2.0);
  EXPECT_FALSE(twice.is_finalized());
  EXPECT_FALSE(twice.subs()[0] == m.subs()[0]);
  EXPECT_EQ(store::read(twice.subs()[0])->factor(), 2.0);
  EXPECT_EQ(store::read(m.subs()[0])->factor(), 1.0);
  EXPECT_TRUE(std::isinf(store::read(m.div_scalar(0.0).subs()[0])->factor()));
}

// ---------------------------------------------------------------------------
// Lumping and matrices that hold only a finalized form

Matrix consistent_mass(const Fixture& f, const Handle<SubMesh>& s, double c) {
  Matrix m;
  m.push_sub(literal(s, s, {"u"}, {"u"},
                    {{0, "u", 0, "u", 2 * c}, {0, "u", 1, "u", c}, {1, "u", 0, "u", c}, {1, "u", 1, "u", 2 * c},
                     {2, "u", 2, "u", 1.0}, {2, "u", 1, "u", -1.0}}));
  m.finalize();
  return m;
}

TEST(Lump, RowSumsOnTheDiagonalAndCancelledRowsStoreNothing) {
  Fixture f(3);
  const auto s = f.poi1({0, 1, 2});
  const Matrix m = consistent_mass(f, s, 0.5);
  const Matrix l = lump(m);
  EXPECT_EQ(l.size(), 0u);
  EXPECT_TRUE(l.is_finalized());
  EXPECT_EQ(l.to_dense(), (std::vector<double>{1.5, 0, 0, 0, 1.5, 0, 0, 0, 0}));
  EXPECT_EQ(l.finalized()->csr.nnz(), 2u) << "row 2 cancels: no stored zero";
  EXPECT_EQ(l.row_dofs(), m.row_dofs());
  EXPECT_EQ(error_text([&] { lump(Matrix()); }), "Matrix has not been finalized; call finalize() before solving");
  Matrix rect;
  rect.push_sub(literal(s, f.poi1({0}), {"u"}, {"u"}, {}));
  rect.finalize();
  EXPECT_EQ(error_text([&] { lump(rect); }), "lump: matrix must be square, got 3×1");
  Matrix zero;
  zero.finalize();
  EXPECT_EQ(lump(zero).finalized()->csr.n_rows, 0u);
}

TEST(Lump, FormOnlyMatrixKeepsItsValuesInUnionsScalingAndNewBlocks) {
  Fixture f(3);
  const auto s = f.poi1({0, 1, 2});
  const Matrix l = lump(consistent_mass(f, s, 0.5));
  const Matrix half = l.div_scalar(2.0);
  EXPECT_TRUE(half.is_finalized());
  EXPECT_EQ(half.get(0, "u", 0, "u"), 0.75);
  EXPECT_EQ(half.support_groups(Side::Cols).size(), 1u);

  Matrix k;
  k.push_sub(literal(s, s, {"u"}, {"u"}, {{0, "u", 0, "u", 10.0}}));
  Matrix sum = Matrix::union_(half, k);
  ASSERT_EQ(sum.size(), 2u);
  sum.finalize();
  EXPECT_EQ(sum.to_dense(), (std::vector<double>{10.75, 0, 0, 0, 0.75, 0, 0, 0, 0}));
  EXPECT_EQ(Matrix::union_(half, half).size(), 1u) << "one matrix contributes one set of blocks";

  Matrix grown = l.mul_scalar(1.0);
  grown.push_sub(k.subs()[0]);
  grown.finalize();
  EXPECT_EQ(grown.get(1, "u", 1, "u"), 1.5);

  EXPECT_EQ(error_text([&] { l.filter(Physics::Mechanical); }),
            "filter: this matrix holds only a finalized form (no blocks, as lump returns); its values would be "
            "dropped");
  const std::uint64_t none[] = {0};
  EXPECT_NE(error_text([&] { l.slice(std::span(none, 0)); }), "<no error>");
}

// ---------------------------------------------------------------------------
// Vectors back to node fields

TEST(Matrix, ValuesBecomeOneZonePerSupportGroup) {
  Fixture f(4);
  const auto left = f.poi1({0, 1});
  const auto right = f.poi1({2, 3});
  const auto all = f.poi1({0, 1, 2, 3});
  Matrix m;
  m.push_sub(literal(left, all, {"a"}, {"u"}, {}));
  m.push_sub(literal(right, all, {"b", "a"}, {"u"}, {}));
  m.push_sub(literal(left, all, {"c"}, {"u"}, {}));
  EXPECT_EQ(error_text([&] { m.field_from_values(std::vector<double>{}, Side::Rows); }),
            "Matrix has not been finalized; call finalize() before solving");
  m.finalize();
  // Rows: (0,a) (1,a) (2,b) (2,a) (3,b) (3,a) (0,c) (1,c).
  const std::vector<double> y = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto field = m.field_from_values(y, Side::Rows);
  ASSERT_EQ(field.size(), 2u);
  EXPECT_EQ(field.value(0, "c"), 7.0);
  EXPECT_EQ(field.value(3, "a"), 6.0);
  EXPECT_EQ(store::read(field.subs()[0])->components()[1], "c");
  EXPECT_EQ(error_text([&] { m.field_from_values(std::vector<double>{1.0}, Side::Cols); }),
            "field_from_col_values: 1 value(s) for 4 DOF(s)");

  Matrix segs;
  segs.push_sub(literal(f.seg2({0, 1}), all, {"a"}, {"u"}, {}));
  segs.finalize();
  EXPECT_EQ(error_text([&] { segs.field_from_values(std::vector<double>{0.0, 0.0}, Side::Rows); }),
            "SubNodeField requires a POI1 SubMesh, got SEG2");
}

// ---------------------------------------------------------------------------
// Recipe handles

TEST(ErasedHandle, OwnsOneUnitLikeAnyHandle) {
  Fixture f(1);
  const auto s = f.poi1({0});
  auto& subs = store::Store<SubMesh>::instance();
  const std::uint32_t base = subs.use_count(s);
  {
    ErasedHandle e(s);
    EXPECT_EQ(subs.use_count(s), base + 1);
    const ErasedHandle copy = e;
    EXPECT_EQ(subs.use_count(s), base + 2);
    EXPECT_TRUE(copy == e);
    ASSERT_NE(copy.as<SubMesh>(), nullptr);
    EXPECT_TRUE(*copy.as<SubMesh>() == s);
    EXPECT_EQ(copy.as<Coords>(), nullptr);
    EXPECT_EQ(copy.debug_text(), s.debug_text());
    ErasedHandle moved = std::move(e);
    EXPECT_TRUE(e.empty());
    EXPECT_EQ(subs.use_count(s), base + 2);
  }
  EXPECT_EQ(subs.use_count(s), base);
}

TEST(ErasedHandle, ReadingAnUnregisteredTypeIsRefused) {
  store::RecordWriter w;
  w.write_u32(0);
  w.write_u32(1);
  store::RecordReader r(w.bytes());
  store::detail::OwnershipNeutralScope neutral;
  EXPECT_EQ(error_text([&] { ErasedHandle::read(r, "no::such::Type"); }),
            "serialization error: no stored type no::such::Type is available to read a recipe handle");
}

// ---------------------------------------------------------------------------
// The block's swap record

using SwapDir = quenlith::testing::SwapDirTest;

TEST_F(SwapDir, BlockReadBackIsUnchangedAndFindsItsPositions) {
  Fixture f(4);
  const auto rows = f.poi1({3, 1});
  const auto cols = f.seg2({0, 2, 2, 1});
  SubMatrix b = SubMatrix::new_(rows, cols, {"a"}, {"b", "c"}, Ordering::VarsThenNodes, true);
  b.add_entry(1, "a", 2, "c", 1.5);
  b.set_physics({Physics::Thermal});
  b.set_factor(-2.0);
  const Handle<SubMatrix> h = store::insert(std::move(b));
  const std::string before = store::read(h)->dump_text({});
  store::Store<SubMatrix>::instance().swap_out(h);
  EXPECT_EQ(store::Store<SubMatrix>::instance().residency(h), store::ResidencyKind::SwappedOut);
  EXPECT_EQ(store::read(h)->dump_text({}), before);
  store::write(h)->add_entry(1, "a", 2, "c", 0.5);
  const SubMatrix::Entry e = store::read(h)->entries()[1];
  EXPECT_EQ(std::tie(e.row_node, e.row_var, e.col_node, e.col_var, e.value),
            std::make_tuple(NodeId{1}, std::string("a"), NodeId{2}, std::string("c"), -1.0));
}

std::vector<std::uint8_t> block_record(std::uint64_t nrows, std::vector<std::uint64_t> rows,
                                       std::vector<std::uint64_t> cols, std::vector<double> values,
                                       std::uint32_t ordering = 1, std::uint32_t physics = 0) {
  store::RecordWriter w;
  for (int k = 0; k < 2; ++k) {
    w.write_u32(0xFFFFFFFFu);
    w.write_u32(0);
  }
  const std::vector<std::uint32_t> nodes(nrows, 0);
  w.write_u32_list(nodes);
  w.write_u32_list(std::vector<std::uint32_t>{0, 1});
  w.write_string_list(Vars{"a"});
  w.write_string_list(Vars{"b"});
  w.write_variant(ordering);
  w.write_u64(nrows);
  w.write_u64(2);
  w.write_u64_list(rows);
  w.write_u64_list(cols);
  w.write_f64_list(values);
  w.write_bool(false);
  w.write_option_tag(false);
  w.write_list(std::vector<std::uint32_t>{physics}, [](store::RecordWriter& o, std::uint32_t p) { o.write_u32(p); });
  w.write_f64(1.0);
  return w.take();
}

std::string decode_error(const std::vector<std::uint8_t>& bytes) {
  return error_text([&] {
    store::RecordReader r(bytes);
    store::detail::OwnershipNeutralScope neutral;  // the handles belong to the record
    SubMatrix::decode(r);
  });
}

TEST(SubMatrixRecord, DecodingChecksEveryFieldItSizesFrom) {
  EXPECT_EQ(decode_error(block_record(3, {2}, {0}, {1.0})), "<no error>");
  EXPECT_EQ(decode_error(block_record(2, {2}, {0}, {1.0})),
            "serialization error: CooData record: entry 0 at (2, 0) is out of bounds for 2×2");
  EXPECT_EQ(decode_error(block_record(3, {0, 1, 2}, {0, 1}, {1.0, 2.0, 3.0})),
            "serialization error: CooData record: 3 row indices, 2 column indices and 3 values");
  EXPECT_EQ(decode_error(block_record(3, {}, {}, {}, 2)),
            "serialization error: invalid value: integer `2`, expected variant index 0 <= i < 2");
  EXPECT_EQ(decode_error(block_record(3, {}, {}, {}, 1, 4)),
            "serialization error: invalid value: integer `4`, expected variant index 0 <= i < 4");
}

}  // namespace
