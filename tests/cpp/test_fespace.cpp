// Finite-element subspaces, spaces, element views and the cell colouring.
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "containers/finite_element_space/element.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/finite_element_space/coloring.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith;
using containers::finite_element_space::CellColoring;
using containers::finite_element_space::CellGeometry;
using containers::finite_element_space::Element;
using containers::finite_element_space::FiniteElementSpace;
using containers::finite_element_space::Interpolation;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using store::Handle;
namespace fs = std::filesystem;

using SubSpace = SubFiniteElementSpace;

using quenlith::testing::error_text;

Handle<Coords> make_coords(std::uint8_t dim, const std::vector<std::vector<double>>& points) {
  Handle<Coords> h = store::insert(Coords(dim));
  store::WriteGuard<Coords> w = store::write(h);
  for (const auto& p : points) w->add_node(p);
  return h;
}

Handle<SubMesh> make_sub(const Handle<Coords>& coords, ElementType t, const std::vector<std::vector<NodeId>>& cells) {
  SubMesh sub(t, coords);
  for (const auto& c : cells) sub.add_cell(c);
  return store::insert(std::move(sub));
}

bool is_sealed(const Handle<SubMesh>& h) { return store::read(h)->is_sealed(); }

Handle<SubSpace> make_space(const Handle<SubMesh>& sub, Interpolation i = Interpolation::LAGRANGE1,
                            QuadratureRule q = QuadratureRule::GAUSS) {
  return store::insert(SubSpace::create(sub, i, q));
}

// The unit right triangle of a 2-D Coords.
struct UnitTriangle {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 0}, {0, 1}});
  Handle<SubMesh> sub = make_sub(coords, ElementType::TRI3, {{0, 1, 2}});
};

TEST(SubFiniteElementSpace, Tri3GaussTablesAndSealing) {
  UnitTriangle t;
  EXPECT_FALSE(is_sealed(t.sub));
  Handle<SubSpace> h = make_space(t.sub);
  EXPECT_TRUE(is_sealed(t.sub));
  store::ReadGuard<SubSpace> s = store::read(h);
  EXPECT_EQ(s->gauss_count(), 3u);
  EXPECT_EQ(s->space_dim(), 2u);
  EXPECT_EQ(std::vector<double>(s->gauss_xi_table().begin(), s->gauss_xi_table().end()),
            (std::vector<double>{0.5, 0, 0.5, 0.5, 0, 0.5}));
  EXPECT_EQ(std::vector<double>(s->gauss_w_table().begin(), s->gauss_w_table().end()),
            (std::vector<double>(3, 0.16666666666666666)));
  EXPECT_EQ(std::vector<double>(s->n_at_g_table().begin(), s->n_at_g_table().end()),
            (std::vector<double>{0.5, 0.5, 0, 0, 0.5, 0.5, 0.5, 0, 0.5}));
  EXPECT_EQ(s->jacobian(0, 0), (std::vector<double>{1, 0, 0, 1}));
  EXPECT_EQ(s->det_jacobian(0, 0), 1.0);
  EXPECT_EQ(s->dn_dx(0, 0), (std::vector<double>{-1, -1, 1, 0, 0, 1}));
  EXPECT_EQ(s->element_type(), ElementType::TRI3);
  EXPECT_EQ(s->submesh(), t.sub);
  const auto tables = s->gauss_tables();
  EXPECT_EQ(tables.n_gauss, 3u);
  EXPECT_EQ(tables.nodes_per_cell, 3u);
  EXPECT_EQ(tables.ref_dim, 2u);
  EXPECT_EQ(tables.space_dim, 2u);
  EXPECT_EQ(tables.n_rows[1], (std::vector<double>{0, 0.5, 0.5}));
  EXPECT_EQ(tables.dn_rows[1], (std::vector<double>{-1, -1, 1, 0, 0, 1}));
  EXPECT_EQ(s->debug_text(),
            "SubFiniteElementSpace { submesh: Handle<quenlith::containers::mesh::SubMesh>{ idx: " +
                std::to_string(t.sub.idx()) + ", gen: " + std::to_string(t.sub.gen()) +
                " }, interpolation: Lagrange1, quadrature: Gauss, space_dim: 2, n_g: 3 }");
  EXPECT_EQ(s->display_text(), "SubFiniteElementSpace<TRI3, LAGRANGE1, GAUSS>: 3 Gauss point(s)");
  EXPECT_EQ(s->dump_text({}),
            "SubFiniteElementSpace<TRI3, LAGRANGE1, GAUSS>: 3 Gauss point(s)\n"
            "g     ξ0     ξ1  weight\n"
            "0  0.500  0.000   0.167\n"
            "1  0.500  0.500   0.167\n"
            "2  0.000  0.500   0.167\n");
}

struct Refusal {
  const char* name;
  std::uint8_t dim;
  ElementType type;
  Interpolation interpolation;
  const char* text;
};

class SubspaceRefusal : public ::testing::TestWithParam<Refusal> {};

// Every refusal is decided before the submesh is sealed.
TEST_P(SubspaceRefusal, LeavesSubmeshUnsealed) {
  const Refusal& c = GetParam();
  const std::uint64_t npc = containers::mesh::nodes_per_cell(c.type);
  std::vector<std::vector<double>> points(npc, std::vector<double>(c.dim, 0.0));
  for (std::uint64_t i = 0; i < npc; ++i) points[i][0] = static_cast<double>(i);
  Handle<Coords> coords = make_coords(c.dim, points);
  std::vector<NodeId> ids(npc);
  for (std::uint64_t i = 0; i < npc; ++i) ids[i] = static_cast<NodeId>(i);
  Handle<SubMesh> sub = make_sub(coords, c.type, {ids});
  EXPECT_EQ(error_text([&] { (void)SubSpace::create(sub, c.interpolation, QuadratureRule::GAUSS); }), c.text);
  EXPECT_FALSE(is_sealed(sub));
  EXPECT_EQ(store::Store<SubMesh>::instance().use_count(sub), 1u);
}

const Refusal kRefusals[] = {
    {"Poi1Lagrange1", 2, ElementType::POI1, Interpolation::LAGRANGE1,
     "SubFiniteElementSpace: POI1 submesh is not supported (no reference frame)"},
    {"Poi1Lagrange2", 3, ElementType::POI1, Interpolation::LAGRANGE2,
     "SubFiniteElementSpace: POI1 submesh is not supported (no reference frame)"},
    {"Tri3Lagrange2", 2, ElementType::TRI3, Interpolation::LAGRANGE2,
     "SubFiniteElementSpace: interpolation LAGRANGE2 not compatible with element type TRI3"},
    {"Tri6Lagrange1", 2, ElementType::TRI6, Interpolation::LAGRANGE1,
     "SubFiniteElementSpace: interpolation LAGRANGE1 not compatible with element type TRI6"},
    {"Tri3On1d", 1, ElementType::TRI3, Interpolation::LAGRANGE1,
     "SubFiniteElementSpace: space dim 1 < reference dim 2 of TRI3 (cannot define a Jacobian)"},
    {"Hex8On2d", 2, ElementType::HEX8, Interpolation::LAGRANGE1,
     "SubFiniteElementSpace: space dim 2 < reference dim 3 of HEX8 (cannot define a Jacobian)"},
};
INSTANTIATE_TEST_SUITE_P(SubFiniteElementSpace, SubspaceRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SubFiniteElementSpace, Seg2In3dHasTangentialGeometry) {
  Handle<Coords> coords = make_coords(3, {{0, 0, 0}, {1, 2, 2}});
  Handle<SubSpace> h = make_space(make_sub(coords, ElementType::SEG2, {{0, 1}}));
  store::ReadGuard<SubSpace> s = store::read(h);
  EXPECT_EQ(s->space_dim(), 3u);
  EXPECT_EQ(s->ref_dim(), 1u);
  EXPECT_EQ(s->jacobian(0, 0), (std::vector<double>{0.5, 1.0, 1.0}));
  EXPECT_DOUBLE_EQ(s->det_jacobian(0, 0), 1.5);  // half the length 3 on [-1, 1]
  const std::vector<double> d = s->dn_dx(0, 0);
  ASSERT_EQ(d.size(), 6u);
  // The tangential gradient of N_1 is t / L with t the unit tangent.
  EXPECT_NEAR(d[3], 1.0 / 9.0, 1e-15);
  EXPECT_NEAR(d[4], 2.0 / 9.0, 1e-15);
  EXPECT_NEAR(d[5], 2.0 / 9.0, 1e-15);
}

TEST(SubFiniteElementSpace, EmptyAndRepeatedSubspaces) {
  Handle<Coords> coords = make_coords(2, {});
  Handle<SubMesh> sub = make_sub(coords, ElementType::QUA4, {});
  Handle<SubSpace> a = make_space(sub);
  EXPECT_TRUE(is_sealed(sub));
  Handle<SubSpace> b = make_space(sub, Interpolation::LAGRANGE1, QuadratureRule::REDUCED);
  Handle<SubSpace> c = make_space(sub);
  EXPECT_FALSE(a == c);
  EXPECT_EQ(store::read(a)->cell_count(), 0u);
  EXPECT_EQ(store::read(a)->gauss_count(), 4u);
  EXPECT_EQ(store::read(b)->gauss_count(), 1u);
  EXPECT_EQ(FiniteElementSpace::union_(a, a).size(), 1u);
  EXPECT_EQ(FiniteElementSpace::union_(a, c).size(), 2u);
  // Three subspaces on one submesh give a one-submesh mesh.
  FiniteElementSpace space({a, b, c});
  const Mesh m = space.mesh();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m.subs()[0], sub);
  EXPECT_EQ(FiniteElementSpace().mesh().size(), 0u);
}

TEST(SubFiniteElementSpace, GaussIndexIsCheckedBeforeCellIndex) {
  UnitTriangle t;
  Handle<SubSpace> h = make_space(t.sub);
  store::ReadGuard<SubSpace> s = store::read(h);
  EXPECT_EQ(error_text([&] { s->jacobian(7, 3); }), "SubFiniteElementSpace: gauss index 3 ≥ n_g 3");
  EXPECT_EQ(error_text([&] { s->dn_dx(1, 0); }), "SubFiniteElementSpace: cell index 1 ≥ cell_count 1");
  EXPECT_EQ(error_text([&] { s->dn_at_g(3); }), "SubFiniteElementSpace: gauss index 3 ≥ n_g 3");
  EXPECT_EQ(error_text([&] { s->gauss_weight(3); }), "SubFiniteElementSpace: gauss index 3 ≥ n_g 3");
}

TEST(SubFiniteElementSpace, GeometryFollowsTheActiveCoordinates) {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 0}, {1, 1}, {0, 1}});
  Handle<SubSpace> h = make_space(make_sub(coords, ElementType::QUA4, {{0, 1, 2, 3}}));
  store::ReadGuard<SubSpace> s = store::read(h);
  const double det = s->det_jacobian(0, 2);
  const std::vector<double> d = s->dn_dx(0, 2);
  {
    store::WriteGuard<Coords> w = store::write(coords);
    w->select(w->add_config("doubled"));
    for (NodeId id = 0; id < 4; ++id) {
      std::vector<double> x = w->coord(id);
      for (double& v : x) v *= 2;
      w->set_coord(id, x);
    }
  }
  EXPECT_EQ(s->det_jacobian(0, 2), 4 * det);
  const std::vector<double> d2 = s->dn_dx(0, 2);
  for (std::size_t i = 0; i < d.size(); ++i) EXPECT_EQ(d2[i], d[i] / 2);
  store::write(coords)->select(0);
  EXPECT_EQ(s->det_jacobian(0, 2), det);
}

TEST(SubFiniteElementSpace, DegenerateCellMeasuresZeroAndRefusesDerivatives) {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 1}, {2, 2}});
  Handle<SubSpace> h = make_space(make_sub(coords, ElementType::TRI3, {{0, 1, 2}}));
  store::ReadGuard<SubSpace> s = store::read(h);
  EXPECT_EQ(s->det_jacobian(0, 0), 0.0);
  EXPECT_EQ(error_text([&] { s->dn_dx(0, 0); }), "inverse_small: singular matrix");
}

TEST(FiniteElementSpace, FromChoicesChecksAndPartialSealing) {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0.5, 0}, {0.5, 0.5}, {0, 0.5}});
  Handle<SubMesh> tri3 = make_sub(coords, ElementType::TRI3, {{0, 1, 2}});
  Handle<SubMesh> tri6 = make_sub(coords, ElementType::TRI6, {{0, 1, 2, 4, 5, 6}});
  Handle<SubMesh> third = make_sub(coords, ElementType::TRI3, {{1, 3, 2}});
  const Mesh mesh({tri3, tri6, third});
  const std::vector<std::pair<Interpolation, QuadratureRule>> two(2, {Interpolation::LAGRANGE1, QuadratureRule::GAUSS});
  EXPECT_EQ(error_text([&] { FiniteElementSpace::from_choices(mesh, two); }),
            "FiniteElementSpace: 2 (interpolation, quadrature) pair(s) supplied for 3 submesh(es)");
  EXPECT_EQ(error_text([&] { FiniteElementSpace::from_choices(Mesh(), two); }),
            "FiniteElementSpace: mesh has no submesh");
  EXPECT_FALSE(is_sealed(tri3));
  const std::size_t live_before = store::Store<SubSpace>::instance().n_entries() -
                                  store::Store<SubSpace>::instance().n_free();
  EXPECT_EQ(error_text([&] { FiniteElementSpace::lagrange1(mesh); }),
            "SubFiniteElementSpace: interpolation LAGRANGE1 not compatible with element type TRI6");
  EXPECT_TRUE(is_sealed(tri3));  // built, then released: the seal stays
  EXPECT_FALSE(is_sealed(tri6));
  EXPECT_FALSE(is_sealed(third));
  EXPECT_EQ(store::Store<SubSpace>::instance().n_entries() - store::Store<SubSpace>::instance().n_free(), live_before);

  const auto pairs = std::vector<std::pair<Interpolation, QuadratureRule>>{
      {Interpolation::LAGRANGE1, QuadratureRule::REDUCED},
      {Interpolation::LAGRANGE2, QuadratureRule::GAUSS},
      {Interpolation::LAGRANGE1, QuadratureRule::GAUSS}};
  FiniteElementSpace space = FiniteElementSpace::from_choices(mesh, pairs);
  ASSERT_EQ(space.size(), 3u);
  EXPECT_EQ(store::read(space.subs()[0])->gauss_count(), 1u);
  EXPECT_EQ(store::read(space.subs()[1])->gauss_count(), 6u);
  EXPECT_EQ(space.display_text(), "FiniteElementSpace: 3 subspace(s)");
  const Mesh back = space.mesh();
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back.subs()[1], tri6);
  EXPECT_EQ(error_text([&] { space.sub_at(3); }), "index 3 out of bounds (len=3)");
  EXPECT_EQ(error_text([&] { space.elements(3); }), "index 3 out of bounds (len=3)");
  const auto [handle, count] = space.elements(2);
  EXPECT_EQ(handle, space.subs()[2]);
  EXPECT_EQ(count, 1u);
  const std::vector<std::uint64_t> order{2, 0, 2};
  const FiniteElementSpace sliced = space.slice(order);
  ASSERT_EQ(sliced.size(), 3u);
  EXPECT_EQ(FiniteElementSpace::union_(sliced, space).size(), 3u);
  EXPECT_EQ(FiniteElementSpace::union_(sliced, space).subs()[1], space.subs()[0]);
}

TEST(FiniteElementSpace, ChoiceNames) {
  EXPECT_EQ(containers::finite_element_space::choice_pair_from_names("lagrange2", "reduced"),
            std::make_pair(Interpolation::LAGRANGE2, QuadratureRule::REDUCED));
  EXPECT_EQ(error_text([] { containers::finite_element_space::choice_pair_from_names("P1", "X"); }),
            "unknown interpolation: P1");
  EXPECT_EQ(error_text([] { containers::finite_element_space::choice_pair_from_names("LAGRANGE1", "X"); }),
            "unknown quadrature rule: X");
}

TEST(FiniteElementSpace, MeshRefusesMixedCoords) {
  UnitTriangle a;
  UnitTriangle b;
  FiniteElementSpace space({make_space(a.sub), make_space(b.sub)});
  EXPECT_EQ(error_text([&] { space.mesh(); }), "mismatched Coords");
}

TEST(Element, ViewsAndTexts) {
  UnitTriangle t;
  Handle<SubSpace> h = make_space(t.sub);
  EXPECT_EQ(error_text([&] { Element::create(h, 1); }), "element index 1 out of range (cell_count=1)");
  const Element e = Element::create(h, 0);
  EXPECT_EQ(e.gauss_count(), 3u);
  EXPECT_EQ(e.jacobian(1), (std::vector<double>{1, 0, 0, 1}));
  EXPECT_EQ(e.dn_at_g(1), (std::vector<double>{-1, -1, 1, 0, 0, 1}));
  EXPECT_EQ(e.cell().index(), 0u);
  EXPECT_EQ(e.display_text(), "Element<TRI3> #0");
  EXPECT_EQ(e.debug_text(), "Element { idx: 0 }");
  EXPECT_EQ(e.dump_text({}), "Element #0 (3 Gauss point(s))\n" + e.cell().dump_text({}));
  EXPECT_EQ(error_text([&] { e.gauss_xi(3); }), "SubFiniteElementSpace: gauss index 3 ≥ n_g 3");
}

// A handle that names no live subspace (or submesh): every query reports the stale-handle
// error, the texts fall back, and nothing throws from a text.
struct StaleCase {
  const char* name;
  std::function<void()> call;
};

const StaleCase kStaleCases[] = {
    {"create", [] { (void)SubSpace::create(Handle<SubMesh>{}, Interpolation::LAGRANGE1, QuadratureRule::GAUSS); }},
    {"element_create", [] { (void)Element::create(Handle<SubSpace>{}, 0); }},
    {"space_mesh", [] { (void)FiniteElementSpace({Handle<SubSpace>{}}).mesh(); }},
    {"space_elements", [] { (void)FiniteElementSpace({Handle<SubSpace>{}}).elements(0); }},
    {"ref_dim", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).ref_dim(); }},
    {"nodes_per_cell", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).nodes_per_cell(); }},
    {"space_dim", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).space_dim(); }},
    {"cell", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).cell(); }},
    {"gauss_xi", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).gauss_xi(0); }},
    {"gauss_weight", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).gauss_weight(0); }},
    {"n_at_g", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).n_at_g(0); }},
    {"dn_at_g", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).dn_at_g(0); }},
    {"jacobian", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).jacobian(0); }},
    {"det_jacobian", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).det_jacobian(0); }},
    {"dn_dx", [] { (void)Element::unchecked(Handle<SubSpace>{}, 0).dn_dx(0); }},
};

class StaleHandle : public ::testing::TestWithParam<StaleCase> {};

TEST_P(StaleHandle, ReportsTheStaleHandleError) {
  EXPECT_EQ(error_text(GetParam().call), "stale handle (slot freed or generation mismatch)");
}

INSTANTIATE_TEST_SUITE_P(FiniteElementSpace, StaleHandle, ::testing::ValuesIn(kStaleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FiniteElementSpace, StaleItemsFallBackInTexts) {
  const Element e = Element::unchecked(Handle<SubSpace>{}, 4);
  EXPECT_EQ(e.gauss_count(), 0u);
  EXPECT_EQ(e.display_text(), "Element #4");
  EXPECT_EQ(e.debug_text(), "Element { idx: 4 }");
  EXPECT_EQ(e.dump_text({}), "Element #4 <stale handle (slot freed or generation mismatch)>");
  const FiniteElementSpace space({Handle<SubSpace>{}});
  const std::string bare =
      "Handle<quenlith::containers::finite_element_space::SubFiniteElementSpace>{ idx: 4294967295, gen: 0 }";
  EXPECT_EQ(space.debug_text(), "FiniteElementSpace { count: 1, items: [" + bare + "] }");
  EXPECT_EQ(space.dump_text({}),
            "FiniteElementSpace: 1 subspace(s)\n── [0] ──\n  <stale handle (slot freed or generation mismatch)>\n");
  // The union compares handles only and never reads them.
  UnitTriangle t;
  const Handle<SubSpace> live = make_space(t.sub);
  EXPECT_EQ(FiniteElementSpace::union_(space, FiniteElementSpace({live, Handle<SubSpace>{}})).size(), 2u);
}

// ---------------------------------------------------------------------------
// Colouring

// An n x n grid of QUA4 cells (node (i, j) has id j * (n + 1) + i).
Handle<SubMesh> grid(std::uint32_t n) {
  std::vector<std::vector<double>> points;
  for (std::uint32_t j = 0; j <= n; ++j)
    for (std::uint32_t i = 0; i <= n; ++i) points.push_back({double(i), double(j)});
  Handle<Coords> coords = make_coords(2, points);
  std::vector<std::vector<NodeId>> cells;
  for (std::uint32_t j = 0; j < n; ++j)
    for (std::uint32_t i = 0; i < n; ++i) {
      const NodeId a = j * (n + 1) + i;
      cells.push_back({a, a + 1, a + n + 2, a + n + 1});
    }
  return make_sub(coords, ElementType::QUA4, cells);
}

// Every cell in exactly one run of one colour, runs ascending within a colour, and
// no node shared by two runs of one colour.
void expect_valid_coloring(const CellColoring& coloring, std::uint64_t n_cells, std::uint64_t npc,
                           std::span<const NodeId> conn) {
  EXPECT_EQ(coloring.n_cells, n_cells);
  std::vector<int> seen(n_cells, 0);
  for (const auto& color : coloring.colors) {
    std::set<NodeId> used;
    for (std::size_t p = 0; p < color.size(); ++p) {
      if (p > 0) {
        EXPECT_LT(color[p - 1], color[p]);
      }
      std::set<NodeId> own;
      for (std::uint64_t c = coloring.run_begin(color[p]); c < coloring.run_end(color[p]); ++c) {
        ++seen[c];
        own.insert(conn.begin() + c * npc, conn.begin() + (c + 1) * npc);
      }
      for (NodeId id : own) EXPECT_TRUE(used.insert(id).second) << "run " << color[p] << " shares node " << id;
    }
  }
  for (std::uint64_t c = 0; c < n_cells; ++c) EXPECT_EQ(seen[c], 1) << "cell " << c;
}

TEST(CellColoring, GreedyAndDisjoint) {
  Handle<SubMesh> sub = grid(7);
  store::ReadGuard<SubMesh> g = store::read(sub);
  const CellColoring c = containers::finite_element_space::color_cells(g->cell_count(), 4, g->connectivity());
  expect_valid_coloring(c, 49, 4, g->connectivity());
  EXPECT_EQ(c.n_colors(), 4u);  // a structured quad grid needs exactly four
  EXPECT_EQ(c.colors[0][0], 0u);
  EXPECT_EQ(c.colors[1][0], 1u);
  // A cell repeating a node is no conflict with itself; an empty set has no colour.
  const std::vector<NodeId> degenerate{0, 0, 0, 1, 2, 3};
  const CellColoring d = containers::finite_element_space::color_cells(3, 2, degenerate);
  ASSERT_EQ(d.n_colors(), 2u);
  EXPECT_EQ(d.colors[0], (std::vector<std::uint64_t>{0, 2}));
  EXPECT_EQ(d.colors[1], (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(containers::finite_element_space::color_cells(0, 4, {}).n_colors(), 0u);
  // Runs of one grid row: each row touches the rows above and below only, so the
  // rows alternate between two colours; a last run may be shorter.
  const CellColoring rows = containers::finite_element_space::color_cells(g->cell_count(), 4, g->connectivity(), 7);
  expect_valid_coloring(rows, 49, 4, g->connectivity());
  ASSERT_EQ(rows.n_colors(), 2u);
  EXPECT_EQ(rows.colors[0], (std::vector<std::uint64_t>{0, 2, 4, 6}));
  EXPECT_EQ(rows.colors[1], (std::vector<std::uint64_t>{1, 3, 5}));
  // A fan of 70 segments around node 0 needs 70 colours, one segment each (more than
  // fit the one-bit-per-colour path).
  std::vector<NodeId> fan;
  for (NodeId k = 1; k <= 70; ++k) fan.insert(fan.end(), {0, k});
  const CellColoring spokes = containers::finite_element_space::color_cells(70, 2, fan);
  expect_valid_coloring(spokes, 70, 2, fan);
  ASSERT_EQ(spokes.n_colors(), 70u);
  EXPECT_EQ(spokes.colors[69], (std::vector<std::uint64_t>{69}));
  const CellColoring uneven = containers::finite_element_space::color_cells(g->cell_count(), 4, g->connectivity(), 10);
  expect_valid_coloring(uneven, 49, 4, g->connectivity());
  EXPECT_EQ(uneven.run_end(4), 49u);
}

TEST(CellColoring, CachedOncePerSubspace) {
  Handle<SubSpace> h = make_space(grid(5));
  store::ReadGuard<SubSpace> s = store::read(h);
  EXPECT_FALSE(s->has_coloring());
  std::vector<const CellColoring*> got(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < got.size(); ++i)
    threads.emplace_back([&, i] {
      store::ReadGuard<SubSpace> mine = store::read(h);
      got[i] = &containers::finite_element_space::cell_coloring(*mine);
    });
  for (auto& t : threads) t.join();
  for (const CellColoring* c : got) EXPECT_EQ(c, got[0]);
  EXPECT_TRUE(s->has_coloring());
  int calls = 0;
  (void)s->coloring([&] {
    ++calls;
    return CellColoring{};
  });
  EXPECT_EQ(calls, 0);
  store::ReadGuard<SubMesh> m = store::read(s->submesh());
  expect_valid_coloring(*got[0], 25, 4, m->connectivity());
}

// ---------------------------------------------------------------------------
// Parallel geometry and the swap record

TEST(SubFiniteElementSpace, CellGeometryMatchesPerCallBitsOnAnyThreadCount) {
  Handle<SubSpace> h = make_space(grid(12), Interpolation::LAGRANGE1, QuadratureRule::GAUSS);
  store::ReadGuard<SubSpace> s = store::read(h);
  const std::uint64_t n = s->cell_count();
  std::vector<double> reference;
  for (std::uint64_t c = 0; c < n; ++c)
    for (std::uint64_t g = 0; g < 4; ++g) {
      const auto d = s->dn_dx(c, g);
      reference.insert(reference.end(), d.begin(), d.end());
    }
  for (std::size_t threads : {std::size_t{1}, std::size_t{4}}) {
    parallel::ThreadLimit limit(threads);
    std::vector<double> got(reference.size());
    {
      CellGeometry geometry(*s);
      parallel::for_chunks(n, 7, [&](parallel::Index begin, parallel::Index end) {
        double x[8], j[4];
        for (std::uint64_t c = begin; c < end; ++c) {
          geometry.node_coords(c, x);
          for (std::uint64_t g = 0; g < 4; ++g)
            geometry.dn_dx(x, g, j, std::span<double>(got).subspan((c * 4 + g) * 8, 8));
        }
      });
    }
    EXPECT_EQ(got, reference) << threads << " thread(s)";
  }
}

using SwapFes = quenlith::testing::SwapDirTest;

TEST_F(SwapFes, SubspaceSwappedOutReadsBackUnchanged) {
  Handle<Coords> coords = make_coords(3, {{0, 0, 0}, {2, 0, 0}, {0, 1, 0}, {0, 0, 3}, {1, 0, 0}, {1, 0.5, 0},
                                          {0, 0.5, 0}, {0, 0, 1.5}, {1, 0, 1.5}, {0, 0.5, 1.5}});
  Handle<SubMesh> sub = make_sub(coords, ElementType::TET10, {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}});
  Handle<SubSpace> h = make_space(sub, Interpolation::LAGRANGE2, QuadratureRule::GAUSS);
  std::vector<std::uint8_t> before;
  std::string text_before;
  std::vector<double> geometry_before;
  {
    store::ReadGuard<SubSpace> s = store::read(h);
    store::RecordWriter w;
    s->encode(w);
    before = w.take();
    text_before = s->debug_text() + s->dump_text({17, 100, 100});
    geometry_before = s->dn_dx(0, 2);
    (void)containers::finite_element_space::cell_coloring(*s);
    EXPECT_TRUE(s->has_coloring());
  }
  const std::uint32_t sub_count = store::Store<SubMesh>::instance().use_count(sub);
  auto& spaces = store::Store<SubSpace>::instance();
  spaces.swap_out(h);
  EXPECT_EQ(spaces.residency(h), store::ResidencyKind::SwappedOut);
  EXPECT_EQ(store::Store<SubMesh>::instance().use_count(sub), sub_count);  // the record keeps its unit
  {
    store::ReadGuard<SubSpace> s = store::read(h);
    store::RecordWriter w;
    s->encode(w);
    EXPECT_EQ(w.bytes(), before);
    EXPECT_EQ(s->debug_text() + s->dump_text({17, 100, 100}), text_before);
    EXPECT_EQ(s->dn_dx(0, 2), geometry_before);
    EXPECT_FALSE(s->has_coloring());  // caches are not part of the record
    EXPECT_EQ(s->submesh(), sub);
  }
  EXPECT_EQ(store::Store<SubMesh>::instance().use_count(sub), sub_count);
  EXPECT_FALSE(fs::exists(spaces.swap_path(h).value_or(dir_ + "/none")));
}

// A subspace whose swap file is gone cannot be read: the texts fall back, nothing throws.
TEST_F(SwapFes, UnreadableSubspaceTextsFallBack) {
  UnitTriangle t;
  Handle<SubSpace> h = make_space(t.sub);
  const Element e = Element::create(h, 0);
  auto& spaces = store::Store<SubSpace>::instance();
  spaces.swap_out(h);
  fs::remove(spaces.swap_path(h).value());
  const FiniteElementSpace space({h});
  EXPECT_EQ(space.debug_text(), "FiniteElementSpace { count: 1, items: [" + h.debug_text() + "] }");
  const std::string dump = space.dump_text({});
  EXPECT_EQ(dump.rfind("FiniteElementSpace: 1 subspace(s)\n── [0] ──\n  <I/O error: ", 0), 0u) << dump;
  EXPECT_EQ(e.gauss_count(), 0u);
  EXPECT_EQ(e.display_text(), "Element #0");
  EXPECT_EQ(e.dump_text({}).rfind("Element #0 <I/O error: ", 0), 0u);
  EXPECT_EQ(error_text([&] { (void)e.space_dim(); }).rfind("I/O error: ", 0), 0u);
}

TEST(SubFiniteElementSpace, DamagedRecordsAreRefused) {
  UnitTriangle t;
  Handle<SubSpace> h = make_space(t.sub);
  store::RecordWriter w;
  store::read(h)->encode(w);
  const std::vector<std::uint8_t> good = w.take();
  store::detail::OwnershipNeutralScope neutral;  // decoded handles must not give back a unit
  auto decode = [](std::vector<std::uint8_t> bytes) {
    return error_text([&] {
      store::RecordReader r(bytes);
      (void)SubSpace::decode(r);
    });
  };
  std::vector<std::uint8_t> bad_interpolation = good;
  bad_interpolation[8] = 2;
  EXPECT_EQ(decode(bad_interpolation),
            "serialization error: invalid value: integer `2`, expected variant index 0 <= i < 2");
  std::vector<std::uint8_t> bad_quadrature = good;
  bad_quadrature[12] = 7;
  EXPECT_EQ(decode(bad_quadrature), "serialization error: invalid value: integer `7`, expected variant index 0 <= i < 2");
  // Cut inside gauss_w (after the handle, the variants, space_dim and the 6 values of gauss_xi).
  const std::vector<std::uint8_t> cut(good.begin(), good.begin() + 24 + 8 + 6 * 8 + 8 + 4);
  EXPECT_EQ(decode(cut), "serialization error: io error: unexpected end of file");
  // Extra bytes after the record are ignored.
  std::vector<std::uint8_t> longer = good;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_EQ(decode(longer), "<no error>");
}

TEST(SubFiniteElementSpace, RecordLayoutAndRefusedTables) {
  UnitTriangle t;
  Handle<SubSpace> h = make_space(t.sub, Interpolation::LAGRANGE1, QuadratureRule::REDUCED);
  store::RecordWriter w;
  store::read(h)->encode(w);
  const std::vector<std::uint8_t>& b = w.bytes();
  // handle (8) + 2 variants (8) + space_dim (8) + four lists: 1x2 + 1 + 3 + 6 doubles
  ASSERT_EQ(b.size(), 8u + 8 + 8 + 4 * 8 + (2 + 1 + 3 + 6) * 8);
  EXPECT_EQ(b[8], 0u);   // LAGRANGE1
  EXPECT_EQ(b[12], 1u);  // REDUCED
  EXPECT_EQ(b[16], 2u);  // space_dim
  {
    store::detail::OwnershipNeutralScope neutral;  // the decoded handle must not give back a unit
    store::RecordReader r(b);
    const SubSpace back = SubSpace::decode(r);
    EXPECT_EQ(back.gauss_count(), 1u);
  }
  // Drop one derivative value: the list count and the bytes shrink together.
  std::vector<std::uint8_t> bad(b.begin(), b.end() - 8);
  const std::size_t dn_count_at = bad.size() - 5 * 8 - 8;
  bad[dn_count_at] = 5;
  store::detail::OwnershipNeutralScope neutral;
  store::RecordReader r(bad);
  EXPECT_EQ(error_text([&] { (void)SubSpace::decode(r); }),
            "serialization error: SubFiniteElementSpace: table lengths disagree (2 points, 1 weights, 3 values, 5 "
            "derivatives)");
}

}  // namespace
