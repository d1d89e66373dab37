// The constraint kinds Dirichlet and Mpc in the core: their construction checks,
// relations and literal stiffness blocks entry by entry, the refusal of meshes that
// grew after construction, and a swap round trip.
#include <gtest/gtest.h>

#include <cmath>
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
#include "models/model/sub_model.hpp"
#include "models/contact/contact.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/embedded/embedded.hpp"
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

// A 2-D Coords with the nodes at the given points, each held only by the cells made on it.
Handle<Coords> coords_at(const std::vector<std::vector<double>>& points) {
  Handle<Coords> h = store::insert(Coords(2));
  store::WriteGuard<Coords> g = store::write(h);
  for (const auto& x : points) g->decref(g->add_node(x));
  return h;
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


// Host TRI3 (0,0) (1,0) (0,1); a SEG2 bar from (0.25,0.25) to (0.5,0.25) inside it.
TEST(EmbeddedKind, RelationsAndBlocksComponentByComponent) {
  const Handle<Coords> c = coords_at({{0, 0}, {1, 0}, {0, 1}, {0.25, 0.25}, {0.5, 0.25}});
  const Mesh host = mesh({cells(c, ElementType::TRI3, {{0, 1, 2}})});
  const Mesh bar = mesh({cells(c, ElementType::SEG2, {{3, 4}})});
  const Embedded e = Embedded::create(bar, host, {{"u_x", "f_x"}, {"u_y", "f_y"}}, std::nullopt,
                                      std::vector<std::string>{"gx", "gy"}, std::nullopt);
  const auto& f = e.fields();
  EXPECT_EQ(submesh_node_ids(f.immersed_mesh.at(0)), (std::vector<NodeId>{3, 4}));
  EXPECT_EQ(submesh_node_ids(f.multiplier_mesh.at(0)), (std::vector<NodeId>{5, 6}));
  EXPECT_EQ(submesh_node_ids(f.constrained_mesh.at(0)), (std::vector<NodeId>{3, 4, 0, 1, 2}));
  EXPECT_EQ(e.primal_vars(), (std::vector<std::string>{"lambda_u_x", "lambda_u_y"}));
  EXPECT_EQ(e.dual_vars(), (std::vector<std::string>{"gx", "gy"}));
  const double w0[] = {0.5, 0.25, 0.25}, w1[] = {0.25, 0.5, 0.25};
  std::vector<Rel> expected;
  for (const auto& [v, d, g] : {std::tuple{"u_x", "f_x", "gx"}, std::tuple{"u_y", "f_y", "gy"}})
    for (int i = 0; i < 2; ++i) {
      const double* w = i == 0 ? w0 : w1;
      expected.emplace_back(g,
                            std::vector<Term>{{v, d, 1.0, NodeId(3 + i)}, {v, d, -w[0], 0}, {v, d, -w[1], 1},
                                              {v, d, -w[2], 2}},
                            NodeId(5 + i), Sense::Equal);
    }
  const std::vector<Rel> got = plain(e.relations());
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t r = 0; r < got.size(); ++r) {
    EXPECT_EQ(std::get<0>(got[r]), std::get<0>(expected[r]));
    EXPECT_EQ(std::get<2>(got[r]), std::get<2>(expected[r]));
    EXPECT_EQ(std::get<3>(got[r]), std::get<3>(expected[r]));
    const auto& gt = std::get<1>(got[r]);
    const auto& et = std::get<1>(expected[r]);
    ASSERT_EQ(gt.size(), et.size());
    for (std::size_t t = 0; t < gt.size(); ++t) {
      EXPECT_EQ(std::get<0>(gt[t]), std::get<0>(et[t]));
      EXPECT_EQ(std::get<3>(gt[t]), std::get<3>(et[t]));
      EXPECT_NEAR(std::get<2>(gt[t]), std::get<2>(et[t]), 1e-12);
    }
  }
  const LiteralBlocks b = stiffness_blocks(e);
  ASSERT_EQ(b.size(), 4u);
  EXPECT_EQ(shape(b[0]), (BlockShape{{5, 6}, {3, 4, 0, 1, 2}, {"gx"}, {"u_x"}}));
  EXPECT_EQ(shape(b[1]), (BlockShape{{3, 4, 0, 1, 2}, {5, 6}, {"f_x"}, {"lambda_u_x"}}));
  EXPECT_EQ(shape(b[3]), (BlockShape{{3, 4, 0, 1, 2}, {5, 6}, {"f_y"}, {"lambda_u_y"}}));
  const std::vector<Entry> c0 = entries(b[2]);
  ASSERT_EQ(c0.size(), 8u);
  EXPECT_EQ(c0[0], (Entry{5, "gy", 3, "u_y", 1.0}));
  EXPECT_EQ(std::get<2>(c0[5]), 0u);
  EXPECT_NEAR(std::get<4>(c0[5]), -0.25, 1e-12);
  const std::vector<Entry> ct = entries(b[3]);
  EXPECT_EQ(ct[4], (Entry{4, "f_y", 6, "lambda_u_y", 1.0}));
  EXPECT_NEAR(std::get<4>(ct[6]), -0.5, 1e-12);
  EXPECT_EQ(std::get<0>(ct[6]), 1u);
}

TEST(EmbeddedKind, ConstructionChecksInOrder) {
  const Handle<Coords> c = coords_at({{0, 0}, {1, 0}, {0, 1}, {0.25, 0.25}, {3, 3}});
  const Mesh host = mesh({cells(c, ElementType::TRI3, {{0, 1, 2}})});
  const Mesh inside = mesh({poi1(c, {3})});
  const Mesh outside = mesh({poi1(c, {3, 4})});
  const std::vector<std::pair<std::string, std::string>> one{{"u", "f"}};
  EXPECT_EQ(error_text([&] { Embedded::create(inside, host, {}, std::nullopt, std::nullopt, std::nullopt); }),
            "Embedded: at least one component is required");
  EXPECT_EQ(error_text([&] {
              Embedded::create(inside, host, one, std::vector<std::string>{}, std::nullopt, std::nullopt);
            }),
            "Embedded: multipliers length must match components");
  EXPECT_EQ(error_text([&] { Embedded::create(outside, host, one, std::nullopt, std::nullopt, std::nullopt); }),
            "Embedded: 1 immersed node(s) lie outside the host mesh (first at index 1); the immersed mesh must be "
            "contained in the host");
  // A host node taken as an immersed node: its row would cancel to nothing.
  const std::size_t before = store::read(c)->node_count();
  EXPECT_EQ(error_text([&] {
              Embedded::create(mesh({poi1(c, {3, 1})}), host, one, std::nullopt, std::nullopt, std::nullopt);
            }),
            "Embedded: immersed node 1 coincides with a node of its host cell");
  EXPECT_EQ(store::read(c)->node_count(), before);  // no multiplier node was made
}

// Master SEG2 (0,0)-(2,0); slave nodes above it.
TEST(ContactKind, RelationsAndBlocksCarryTheNormal) {
  const Handle<Coords> c = coords_at({{0, 0}, {2, 0}, {0.5, 0.5}, {1.5, 0.0}});
  const Mesh master = mesh({cells(c, ElementType::SEG2, {{0, 1}})});
  const Mesh slave = mesh({poi1(c, {2, 3, 2})});
  const Contact k = Contact::create(slave, master, {{"u_x", "f_x"}, {"u_y", "f_y"}}, std::nullopt, std::nullopt);
  const auto& f = k.fields();
  ASSERT_EQ(f.pairings.size(), 2u);
  EXPECT_EQ(submesh_node_ids(f.support_mesh.at(0)), (std::vector<NodeId>{2, 3, 0, 1}));
  EXPECT_EQ(submesh_node_ids(f.multiplier_mesh.at(0)), (std::vector<NodeId>{4, 5}));
  EXPECT_EQ(k.primal_vars(), (std::vector<std::string>{"lambda_contact"}));
  EXPECT_EQ(k.dual_vars(), (std::vector<std::string>{"contact_gap"}));
  const std::vector<double> n = f.pairings[0].normal;
  ASSERT_EQ(n.size(), 2u);
  EXPECT_NEAR(std::abs(n[1]), 1.0, 1e-15);
  EXPECT_NEAR(f.pairings[0].gap, 0.5 * n[1], 1e-12);
  EXPECT_EQ(f.pairings[1].gap, 0.0);  // on the facet
  const std::vector<Relation> rel = k.relations();
  ASSERT_EQ(rel.size(), 2u);
  for (const Relation& r : rel) EXPECT_EQ(r.sense, Sense::GreaterEqual);
  EXPECT_EQ(rel[1].multiplier_node, 5u);
  // Slave node 3 at 3/4 of the facet: weights 1/4, 3/4.
  const std::vector<Term> t = std::get<1>(plain(rel)[1]);
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[0], (Term{"u_x", "f_x", n[0], 3}));
  EXPECT_EQ(t[3], (Term{"u_y", "f_y", n[1], 3}));
  EXPECT_EQ(std::get<3>(t[5]), 1u);
  EXPECT_NEAR(std::get<2>(t[4]), -0.25 * n[1], 1e-12);
  EXPECT_NEAR(std::get<2>(t[5]), -0.75 * n[1], 1e-12);
  const LiteralBlocks b = stiffness_blocks(k);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(shape(b[0]), (BlockShape{{4, 5}, {2, 3, 0, 1}, {"contact_gap"}, {"u_x", "u_y"}}));
  EXPECT_EQ(shape(b[1]), (BlockShape{{2, 3, 0, 1}, {4, 5}, {"f_x", "f_y"}, {"lambda_contact"}}));
  const std::vector<Entry> ct = entries(b[1]);
  ASSERT_EQ(ct.size(), 12u);
  EXPECT_EQ(ct[9], (Entry{3, "f_y", 5, "lambda_contact", n[1]}));
  EXPECT_EQ(std::get<0>(ct[11]), 1u);
  EXPECT_NEAR(std::get<4>(ct[11]), -0.75 * n[1], 1e-12);
}

TEST(ContactKind, ConstructionChecksInOrder) {
  const Handle<Coords> c = coords_at({{0, 0}, {2, 0}, {0.5, 0.5}});
  const Handle<Coords> other = coords_at({{0, 0}});
  const Mesh master = mesh({cells(c, ElementType::SEG2, {{0, 1}})});
  EXPECT_EQ(error_text([&] {
              Contact::create(mesh({poi1(other, {0})}), master, {{"u", "f"}}, std::nullopt, std::nullopt);
            }),
            "Contact: slave and master meshes must share a Coords");
  EXPECT_EQ(error_text([&] {
              Contact::create(mesh({poi1(c, {2})}), master, {{"a", "b"}, {"c", "d"}, {"e", "f"}}, std::nullopt,
                              std::nullopt);
            }),
            "Contact: 3 component(s) for a 2-D space \u2014 the normal couples every displacement component, give "
            "one (variable, dual) pair per dimension, in ambient order");
  EXPECT_EQ(error_text([&] {
              Contact::create(mesh({cells(c, ElementType::SEG2, {})}), master, {{"a", "b"}, {"c", "d"}},
                              std::nullopt, std::nullopt);
            }),
            "Contact: slave mesh carries no node");
}

}  // namespace
