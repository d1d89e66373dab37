// The constraint kinds Dirichlet and Mpc in the core: their construction checks,
// relations and literal stiffness blocks entry by entry, the refusal of meshes that
// grew after construction, and a swap round trip.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/model/sub_model.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/mod/constraint.hpp"
#include "models/mpc/mpc.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace store = quenlith::store;
using namespace quenlith::models;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::Mesh;
using quenlith::containers::mesh::SubMesh;
using quenlith::containers::model::SubModel;
using quenlith::testing::error_text;
using store::Handle;
using Entry = std::tuple<NodeId, std::string, NodeId, std::string, double>;

// A 2-D Coords of `n` nodes, node i at (i, 0), each held only by the cells made on it.
Handle<Coords> coords_of(std::uint32_t n) {
  Handle<Coords> h = store::insert(Coords(2));
  store::WriteGuard<Coords> g = store::write(h);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double x[] = {double(i), 0.0};
    g->decref(g->add_node(x));
  }
  return h;
}

MeshHandle poi1(const Handle<Coords>& c, const std::vector<NodeId>& ids) {
  return store::insert(SubMesh::poi1_from_ids(c, ids));
}

MeshHandle cells(const Handle<Coords>& c, ElementType type, const std::vector<std::vector<NodeId>>& list) {
  SubMesh s(type, c);
  for (const auto& cell : list) s.add_cell(cell);
  return store::insert(std::move(s));
}

Mesh mesh(std::vector<MeshHandle> subs) { return Mesh(std::move(subs)); }

std::vector<Entry> entries(const SubMatrix& b) {
  std::vector<Entry> out;
  for (const auto& e : b.entries()) out.emplace_back(e.row_node, e.row_var, e.col_node, e.col_var, e.value);
  return out;
}

struct BlockShape {
  std::vector<NodeId> rows, cols;
  std::vector<std::string> dual, primal;
  bool operator==(const BlockShape&) const = default;
};
BlockShape shape(const SubMatrix& b) {
  return {{b.row_nodes().begin(), b.row_nodes().end()},
          {b.col_nodes().begin(), b.col_nodes().end()},
          b.dual_vars(),
          b.primal_vars()};
}

LiteralBlocks stiffness_blocks(const ModelKind& kind) {
  std::vector<BlockRecipe> r = kind.block_recipes(OperatorKind::Stiffness, std::nullopt);
  EXPECT_EQ(r.size(), 1u);
  for (OperatorKind op : {OperatorKind::Mass, OperatorKind::Geometric, OperatorKind::Tangent})
    EXPECT_TRUE(kind.block_recipes(op, std::nullopt).empty());
  return std::move(std::get<LiteralBlocks>(r.at(0)));
}

// One relation as plain values: (imposed value, terms, multiplier node, sense).
using Term = std::tuple<std::string, std::string, double, NodeId>;
using Rel = std::tuple<std::string, std::vector<Term>, NodeId, Sense>;
std::vector<Rel> plain(const std::vector<Relation>& relations) {
  std::vector<Rel> out;
  for (const Relation& r : relations) {
    std::vector<Term> terms;
    for (const RelationTerm& t : r.terms) terms.emplace_back(t.variable, t.target_dual, t.coefficient, t.node);
    out.emplace_back(r.imposed_value, terms, r.multiplier_node, r.sense);
  }
  return out;
}

// ---------------------------------------------------------------------------

TEST(ConstraintRoutines, NodeCloudAndNodeAtPosition) {
  const Handle<Coords> c = coords_of(8);
  const std::vector<MeshHandle> two{cells(c, ElementType::SEG2, {{1, 2}, {2, 3}}), poi1(c, {3, 5})};
  EXPECT_EQ(node_cloud_of(two), (std::vector<NodeId>{1, 2, 3, 5}));
  EXPECT_TRUE(node_cloud_of({}).empty());
  const std::vector<MeshHandle> points{poi1(c, {6, 4}), poi1(c, {7})};
  EXPECT_EQ(poi1_node_at(points, 1), 4u);  // only the first submesh is read
  EXPECT_EQ(error_text([&] { poi1_node_at(points, 2); }), "index 2 out of bounds (len=2)");
  EXPECT_EQ(error_text([&] { poi1_node_at({}, 0); }), "index 0 out of bounds (len=0)");
}

TEST(ConstraintBlockPair, PairsCellsByPositionUpToTheShorterList) {
  const Handle<Coords> c = coords_of(10);
  const MeshHandle m = poi1(c, {7, 8, 9});
  const MeshHandle k = poi1(c, {0, 2, 4, 6, 2});
  LiteralBlocks out;
  const auto [p, q] = constraint_block_pair(m, k, "u_x", "f_x", -0.5, "lam", "g", out);
  EXPECT_EQ(p, 3u);
  EXPECT_EQ(q, 5u);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(shape(out[0]), (BlockShape{{7, 8, 9}, {0, 2, 4, 6, 2}, {"g"}, {"u_x"}}));
  EXPECT_EQ(shape(out[1]), (BlockShape{{0, 2, 4, 6, 2}, {7, 8, 9}, {"f_x"}, {"lam"}}));
  EXPECT_EQ(entries(out[0]), (std::vector<Entry>{{7, "g", 0, "u_x", -0.5}, {8, "g", 2, "u_x", -0.5},
                                                  {9, "g", 4, "u_x", -0.5}}));
  EXPECT_EQ(entries(out[1]), (std::vector<Entry>{{0, "f_x", 7, "lam", -0.5}, {2, "f_x", 8, "lam", -0.5},
                                                  {4, "f_x", 9, "lam", -0.5}}));
  for (const SubMatrix& b : out) {
    EXPECT_FALSE(b.symmetric());
    EXPECT_EQ(b.ordering(), Ordering::NodesThenVars);
    EXPECT_EQ(b.factor(), 1.0);
    EXPECT_TRUE(b.physics().empty());
  }
  EXPECT_TRUE(store::read(m)->is_sealed());
  EXPECT_TRUE(store::read(k)->is_sealed());
}

TEST(DirichletKind, ConstructionChecksInOrder) {
  const Handle<Coords> c = coords_of(12);
  const MeshHandle three = poi1(c, {0, 1, 2});
  const MeshHandle mult3 = poi1(c, {3, 4, 5});
  const MeshHandle four = poi1(c, {6, 7, 8, 9});
  const MeshHandle empty = poi1(c, {});
  const MeshHandle seg = cells(c, ElementType::SEG2, {{0, 1}});
  const MeshHandle elsewhere = poi1(coords_of(3), {0, 1, 2});
  auto fails = [](const Mesh& imposed, const Mesh& mult) {
    return error_text([&] { Dirichlet::create("T", "q", imposed, mult, std::nullopt, std::nullopt, Sense::Equal); });
  };
  // No node at all comes before every other check, even a submesh-count mismatch.
  EXPECT_EQ(fails(mesh({empty, empty}), mesh({mult3})), "Dirichlet: imposed_mesh must constrain at least one node");
  EXPECT_EQ(fails(mesh({three, three}), mesh({mult3})),
            "Dirichlet: imposed_mesh has 2 submesh(es) but multiplier_mesh has 1");
  EXPECT_EQ(fails(mesh({three}), mesh({elsewhere})), "Dirichlet: imposed_mesh and multiplier_mesh must share a Coords");
  EXPECT_EQ(fails(mesh({seg}), mesh({mult3})), "Dirichlet: imposed_mesh submesh 0 must be POI1, got SEG2");
  EXPECT_EQ(fails(mesh({three, three}), mesh({mult3, seg})),
            "Dirichlet: multiplier_mesh submesh 1 must be POI1, got SEG2");
  EXPECT_EQ(fails(mesh({four}), mesh({mult3})), "Dirichlet: submesh 0 has 4 constrained node(s) but 3 multiplier(s)");

  const Dirichlet d = Dirichlet::create("T", "q", mesh({three}), mesh({mult3}), std::nullopt, std::nullopt,
                                        Sense::GreaterEqual);
  EXPECT_EQ(d.primal_vars(), std::vector<std::string>{"lambda_T"});
  EXPECT_EQ(d.dual_vars(), std::vector<std::string>{"imposed_T"});
  EXPECT_FALSE(store::read(three)->is_sealed());  // construction seals nothing
  const Dirichlet named = Dirichlet::create("u_x", "f_x", mesh({three}), mesh({mult3}), "mu", "g", Sense::Equal);
  EXPECT_EQ(named.primal_vars(), std::vector<std::string>{"mu"});
  EXPECT_EQ(named.dual_vars(), std::vector<std::string>{"g"});
}

TEST(DirichletKind, RelationsAndBlocksSubmeshBySubmesh) {
  const Handle<Coords> c = coords_of(12);
  const Mesh imposed = mesh({poi1(c, {0, 1}), poi1(c, {2, 0, 4})});
  const Mesh mult = mesh({poi1(c, {10, 11}), poi1(c, {7, 8, 9})});
  const Dirichlet d = Dirichlet::create("T", "q", imposed, mult, std::nullopt, std::nullopt, Sense::LessEqual);
  auto rel = [](NodeId node, NodeId m) {
    return Rel{"imposed_T", {Term{"T", "q", 1.0, node}}, m, Sense::LessEqual};
  };
  EXPECT_EQ(plain(d.relations()), (std::vector<Rel>{rel(0, 10), rel(1, 11), rel(2, 7), rel(0, 8), rel(4, 9)}));

  const LiteralBlocks b = stiffness_blocks(d);
  ASSERT_EQ(b.size(), 4u);  // C0, C0ᵀ, C1, C1ᵀ
  EXPECT_EQ(shape(b[0]), (BlockShape{{10, 11}, {0, 1}, {"imposed_T"}, {"T"}}));
  EXPECT_EQ(shape(b[1]), (BlockShape{{0, 1}, {10, 11}, {"q"}, {"lambda_T"}}));
  EXPECT_EQ(shape(b[2]), (BlockShape{{7, 8, 9}, {2, 0, 4}, {"imposed_T"}, {"T"}}));
  EXPECT_EQ(shape(b[3]), (BlockShape{{2, 0, 4}, {7, 8, 9}, {"q"}, {"lambda_T"}}));
  EXPECT_EQ(entries(b[0]), (std::vector<Entry>{{10, "imposed_T", 0, "T", 1.0}, {11, "imposed_T", 1, "T", 1.0}}));
  EXPECT_EQ(entries(b[1]), (std::vector<Entry>{{0, "q", 10, "lambda_T", 1.0}, {1, "q", 11, "lambda_T", 1.0}}));
  EXPECT_EQ(entries(b[2]), (std::vector<Entry>{{7, "imposed_T", 2, "T", 1.0},
                                                {8, "imposed_T", 0, "T", 1.0},
                                                {9, "imposed_T", 4, "T", 1.0}}));
  EXPECT_EQ(entries(b[3]), (std::vector<Entry>{{2, "q", 7, "lambda_T", 1.0},
                                                {0, "q", 8, "lambda_T", 1.0},
                                                {4, "q", 9, "lambda_T", 1.0}}));
  EXPECT_EQ(error_text([&] { d.build_stiffness_blocks(std::nullopt); }),
            "Dirichlet: build_stiffness_blocks has no default without a stiffness_layout \u2014 override it (e.g. a "
            "constraint such as Dirichlet, or a multi-block physics)");
}

// A node added to a paired submesh after construction would lose its constraint if
// the pairing stopped at the shorter list: relations and blocks refuse instead.
TEST(DirichletKind, AMeshThatGrewAfterConstructionIsRefused) {
  const Handle<Coords> c = coords_of(8);
  const MeshHandle imposed = poi1(c, {0, 1});
  const MeshHandle mult = poi1(c, {4, 5});
  const Dirichlet d = Dirichlet::create("T", "q", mesh({imposed}), mesh({mult}), std::nullopt, std::nullopt,
                                        Sense::Equal);
  const NodeId extra[] = {2};
  store::write(imposed)->add_cell(extra);
  const std::string mismatch = "Dirichlet: submesh 0 has 3 constrained node(s) but 2 multiplier(s)";
  EXPECT_EQ(error_text([&] { d.relations(); }), mismatch);
  EXPECT_EQ(error_text([&] { stiffness_blocks(d); }), mismatch);

  // A record whose multiplier list is shorter (not made by create).
  const MeshHandle two = poi1(c, {0, 1});
  const Dirichlet broken(Dirichlet::Fields{"T", "q", "l", "g", {two, two}, {poi1(c, {4, 5})}, Sense::Equal});
  EXPECT_EQ(error_text([&] { broken.relations(); }), "index 1 out of bounds (len=1)");
  EXPECT_EQ(error_text([&] { stiffness_blocks(broken); }), "index 1 out of bounds (len=1)");
}

TEST(MpcKind, RelationsAndBlocksFollowTheMultiplierCells) {
  const Handle<Coords> c = coords_of(50);
  // An empty first submesh pair contributes nothing; relations come from submesh 1.
  const Mesh mult = mesh({poi1(c, {}), poi1(c, {40, 41})});
  const Mesh a = mesh({poi1(c, {}), poi1(c, {1, 2})});
  const Mesh b = mesh({poi1(c, {}), poi1(c, {7, 8})});
  const Mpc mpc = Mpc::create({MpcTerm::create(a, "u_x", "f_x", 1.0), MpcTerm::create(b, "u_y", "f_y", -1.0)}, mult,
                              std::nullopt, std::nullopt, Sense::GreaterEqual);
  EXPECT_EQ(plain(mpc.relations()),
            (std::vector<Rel>{{"mpc_rhs", {{"u_x", "f_x", 1.0, 1}, {"u_y", "f_y", -1.0, 7}}, 40, Sense::GreaterEqual},
                              {"mpc_rhs", {{"u_x", "f_x", 1.0, 2}, {"u_y", "f_y", -1.0, 8}}, 41, Sense::GreaterEqual}}));
  const LiteralBlocks blocks = stiffness_blocks(mpc);
  ASSERT_EQ(blocks.size(), 8u);  // 2 per term and multiplier submesh
  EXPECT_TRUE(entries(blocks[0]).empty() && entries(blocks[3]).empty());
  EXPECT_EQ(shape(blocks[4]), (BlockShape{{40, 41}, {1, 2}, {"mpc_rhs"}, {"u_x"}}));
  EXPECT_EQ(entries(blocks[4]), (std::vector<Entry>{{40, "mpc_rhs", 1, "u_x", 1.0}, {41, "mpc_rhs", 2, "u_x", 1.0}}));
  EXPECT_EQ(entries(blocks[5]), (std::vector<Entry>{{1, "f_x", 40, "lambda_mpc", 1.0}, {2, "f_x", 41, "lambda_mpc", 1.0}}));
  EXPECT_EQ(shape(blocks[6]), (BlockShape{{40, 41}, {7, 8}, {"mpc_rhs"}, {"u_y"}}));
  EXPECT_EQ(entries(blocks[6]),
            (std::vector<Entry>{{40, "mpc_rhs", 7, "u_y", -1.0}, {41, "mpc_rhs", 8, "u_y", -1.0}}));
  EXPECT_EQ(entries(blocks[7]),
            (std::vector<Entry>{{7, "f_y", 40, "lambda_mpc", -1.0}, {8, "f_y", 41, "lambda_mpc", -1.0}}));
}

TEST(MpcKind, AMeshThatGrewAfterConstructionIsRefused) {
  const Handle<Coords> c = coords_of(10);
  const MeshHandle mult = poi1(c, {5, 6});
  const MeshHandle term = poi1(c, {0, 1});
  const Mpc mpc = Mpc::create({MpcTerm::create(mesh({term}), "u_x", "f_x", 2.0)}, mesh({mult}), std::nullopt,
                              std::nullopt, Sense::Equal);
  const NodeId extra[] = {7};
  store::write(mult)->add_cell(extra);
  const std::string mismatch = "Mpc: term 0 submesh 0 has 2 node(s) but multiplier has 3";
  EXPECT_EQ(error_text([&] { mpc.relations(); }), mismatch);
  EXPECT_EQ(error_text([&] { stiffness_blocks(mpc); }), mismatch);
}

using ConstraintSwap = quenlith::testing::SwapDirTest;

TEST_F(ConstraintSwap, AConstraintReadsBackWithItsRelationsAndBlocks) {
  const Handle<Coords> c = coords_of(6);
  const Handle<SubModel> h = store::insert(SubModel::of(Dirichlet::create(
      "T", "q", mesh({poi1(c, {0, 1, 2})}), mesh({poi1(c, {3, 4, 5})}), std::nullopt, "g", Sense::GreaterEqual)));
  const std::vector<Rel> before = plain(store::read(h)->kind().constraint()->relations());
  const std::string described = store::read(h)->dump_text({});
  store::Store<SubModel>::instance().swap_out(h);
  ASSERT_EQ(store::Store<SubModel>::instance().residency(h), store::ResidencyKind::SwappedOut);
  EXPECT_EQ(plain(store::read(h)->kind().constraint()->relations()), before);
  EXPECT_EQ(store::read(h)->dump_text({}), described);
  const LiteralBlocks b = stiffness_blocks(store::read(h)->kind());
  EXPECT_EQ(entries(b[0]), (std::vector<Entry>{{3, "g", 0, "T", 1.0}, {4, "g", 1, "T", 1.0}, {5, "g", 2, "T", 1.0}}));
}

}  // namespace
