// Node fields in the core: zones and their supports, lookups by row and by node id
// (repeated nodes included), the container's list operations and consolidation,
// the read-locked view, the DOF bridges, text forms and the swap record.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/id_index.hpp"
#include "containers/node_field/node_field.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "containers/field/consolidate.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace store = quenlith::store;
using namespace quenlith::containers::mesh;
using quenlith::containers::field::DofList;
using quenlith::containers::node_field::NodeField;
using quenlith::containers::node_field::NodeFieldView;
using quenlith::containers::node_field::SubNodeField;
using quenlith::containers::field::consolidate_node;
using quenlith::testing::coords_with;
using quenlith::testing::error_text;
using store::Handle;
using store::Store;
using Names = std::vector<std::string>;
using ZoneHandle = Handle<SubNodeField>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Handle<SubMesh> submesh(const Handle<Coords>& c, ElementType type, const std::vector<NodeId>& conn) {
  SubMesh s(type, c);
  const std::size_t k = nodes_per_cell(type);
  for (std::size_t i = 0; i + k <= conn.size(); i += k) s.add_cell(std::span<const NodeId>(conn).subspan(i, k));
  return store::insert(std::move(s));
}

Handle<SubMesh> poi1(const Handle<Coords>& c, const std::vector<NodeId>& ids) {
  return submesh(c, ElementType::POI1, ids);
}

bool sealed(const Handle<SubMesh>& h) { return store::read(h)->is_sealed(); }

// A stored zone on `support` with the given values (row-major).
ZoneHandle zone(const Handle<SubMesh>& support, Names names, const std::vector<double>& values) {
  SubNodeField z = SubNodeField::create(support, std::move(names));
  auto out = z.values_mut();
  EXPECT_EQ(out.size(), values.size());
  std::copy(values.begin(), values.end(), out.begin());
  return store::insert(std::move(z));
}

NodeField field_of(std::vector<ZoneHandle> zones) {
  NodeField f;
  for (auto& z : zones) f.push_sub(std::move(z));
  return f;
}

std::vector<double> values_of(const ZoneHandle& z) {
  auto v = store::read(z)->values();
  return {v.begin(), v.end()};
}

Names names_of(const ZoneHandle& z) {
  auto n = store::read(z)->components();
  return {n.begin(), n.end()};
}

// ---------------------------------------------------------------------------
// Zones

TEST(SubNodeField, SupportsAreTheCloudOfAnyMeshAndThePoi1ItselfAndAreSealed) {
  Handle<Coords> c = coords_with(5);
  Handle<SubMesh> tri = submesh(c, ElementType::TRI3, {2, 0, 1, 1, 3, 2});
  Handle<SubMesh> pts = poi1(c, {4, 0});
  Mesh mesh({tri, pts});
  NodeField a = NodeField::create(mesh, {"ux", "uy"});
  ASSERT_EQ(a.size(), 2u);
  EXPECT_TRUE(sealed(tri));
  EXPECT_TRUE(sealed(pts));
  const auto supports = a.support_handles();
  EXPECT_FALSE(supports[0] == tri);
  EXPECT_TRUE(supports[1] == pts);
  EXPECT_EQ(store::read(a.subs()[0])->nodes().size(), 4u);
  EXPECT_EQ(std::vector<NodeId>(store::read(a.subs()[0])->nodes().begin(), store::read(a.subs()[0])->nodes().end()),
            (std::vector<NodeId>{2, 0, 1, 3}));
  // A second field on the same mesh lands on the very same supports.
  NodeField b = NodeField::create(mesh, {"T"});
  EXPECT_TRUE(b.support_handles() == supports);
  EXPECT_EQ(values_of(a.subs()[0]), std::vector<double>(8, 0.0));
}

TEST(SubNodeField, ConstructionErrorsComeInOrderAndLeaveTheSupportUnsealed) {
  Handle<Coords> c = coords_with(3);
  Handle<SubMesh> seg = submesh(c, ElementType::SEG2, {0, 1});
  Handle<SubMesh> gone;  // stale: the names are refused before the support is read
  EXPECT_EQ(error_text([&] { SubNodeField::create(gone, {}); }), "SubNodeField requires at least one component");
  EXPECT_EQ(error_text([&] { SubNodeField::create(gone, {"b", "a", "c", "a", "b"}); }), "duplicate component name: b");
  EXPECT_EQ(error_text([&] { SubNodeField::create(gone, {"a", "b", "a"}); }), "duplicate component name: a");
  EXPECT_EQ(error_text([&] { SubNodeField::create(gone, {"a"}); }), quenlith::Error::stale_handle().text());
  EXPECT_EQ(error_text([&] { SubNodeField::create(seg, {"a"}); }), "SubNodeField requires a POI1 SubMesh, got SEG2");
  EXPECT_FALSE(sealed(seg));
  EXPECT_EQ(error_text([&] { SubNodeField::on_nodes_of(seg, {"a", "a"}); }), "duplicate component name: a");
  EXPECT_FALSE(sealed(seg));
  EXPECT_EQ(error_text([&] { NodeField::create(Mesh(), {"a"}); }), "NodeField: mesh has no submesh");
  EXPECT_EQ(error_text([&] { NodeField::with_components_per_submesh(Mesh({seg}), {{"a"}, {"b"}}); }),
            "NodeField: 2 component list(s) supplied for 1 submesh(es)");
  EXPECT_EQ(error_text([&] { NodeField::with_components_per_submesh(Mesh({seg}), {{}}); }),
            "SubNodeField requires at least one component");
}

TEST(SubNodeField, AccessorsCheckNodeBeforeComponent) {
  Handle<Coords> c = coords_with(8);
  ZoneHandle h = zone(poi1(c, {7, 3}), {"ux", "uy"}, {1, 2, 3, 4});
  store::WriteGuard<SubNodeField> z = store::write(h);
  EXPECT_EQ(z->get(1, 0), 3.0);
  EXPECT_EQ(z->get_by_node(7, 1), 2.0);
  EXPECT_EQ(z->value(3, "uy"), 4.0);
  EXPECT_EQ(z->node_values(1), (std::vector<double>{3, 4}));
  EXPECT_EQ(z->component_index("uy"), std::optional<std::uint64_t>(1));
  EXPECT_EQ(z->component_index("uz"), std::nullopt);
  z->set_value(3, "ux", -1.5);
  z->set_by_node(7, 0, 9.0);
  z->set(0, 1, 8.0);
  EXPECT_EQ(std::vector<double>(z->values().begin(), z->values().end()), (std::vector<double>{9, 8, -1.5, 4}));
  struct Case {
    std::function<void()> call;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[&] { z->get(2, 0); }, "node index 2 ≥ node_count 2"},
      {[&] { z->get(2, 9); }, "node index 2 ≥ node_count 2"},
      {[&] { z->set(0, 2, 1.0); }, "component index 2 ≥ component_count 2"},
      {[&] { z->get_by_node(5, 9); }, "node 5 not in field support"},
      {[&] { z->set_by_node(7, 2, 0.0); }, "component index 2 ≥ component_count 2"},
      {[&] { z->value(5, "T"); }, "node 5 not in field support"},
      {[&] { z->set_value(3, "T", 0.0); }, "unknown component: T"},
      {[&] { z->node_values(2); }, "node index 2 ≥ node_count 2"},
      {[&] { z->value(100000, "ux"); }, "node 100000 not in field support"},
  };
  for (const Case& k : cases) EXPECT_EQ(error_text(k.call), k.text);
  EXPECT_EQ(std::vector<double>(z->values().begin(), z->values().end()), (std::vector<double>{9, 8, -1.5, 4}));
}

TEST(SubNodeField, ARepeatedNodeMapsToItsFirstRowEverywhere) {
  Handle<Coords> c = coords_with(6);
  // Node 5 at rows 1 and 3; node 2 at rows 0 and 4.
  Handle<SubMesh> s = poi1(c, {2, 5, 0, 5, 2});
  ZoneHandle h = zone(s, {"T"}, {10, 11, 12, 13, 14});
  {
    store::ReadGuard<SubNodeField> z = store::read(h);
    EXPECT_TRUE(z->has_repeated_nodes());
    EXPECT_EQ(z->node_index(5), std::optional<std::uint64_t>(1));
    EXPECT_EQ(z->node_index(0), std::optional<std::uint64_t>(2));
    EXPECT_EQ(z->node_index(2), std::optional<std::uint64_t>(0));
    EXPECT_EQ(z->value(0, "T"), 12.0);  // the rank of node 0 is 2, its row too
    EXPECT_EQ(z->first_row_at(3), 1u);
    EXPECT_EQ(z->first_row_at(4), 0u);
  }
  NodeField f = field_of({h});
  EXPECT_EQ(f.value(5, "T"), 11.0);
  EXPECT_EQ(f.values_at(std::vector<NodeId>{5, 2, 0, 5}, "T"), (std::vector<double>{11, 10, 12, 11}));
  DofList dofs;
  for (NodeId id : {2u, 5u, 0u, 5u, 2u}) dofs.push(id, "T");
  EXPECT_EQ(f.dof_values(dofs), (std::vector<double>{10, 11, 12, 11, 10}));
  EXPECT_EQ(f.node_ids(), (std::vector<NodeId>{2, 5, 0}));
  // Its two rows of node 5 disagree: not coherent.
  EXPECT_EQ(error_text([&] { f.check_coherence(); }), "incoherent NodeField: node 5, component T: 11 ≠ 13");
}

TEST(SubNodeField, RepeatedIdsAreFoundByEveryRoute) {
  using quenlith::containers::node_field::has_repeated_ids;
  struct Case {
    std::vector<NodeId> ids;
    bool repeated;
  };
  const std::vector<Case> cases = {
      {{}, false},
      {{3}, false},
      {{0, 1, 2, 9}, false},                      // increasing
      {{9, 2, 1, 0}, false},                      // dense, distinct
      {{1, 2, 1}, true},                          // dense
      {{2, 2}, true},
      {{4000000000u, 7, 4000000000u}, true},      // sparse: hashed
      {{4000000000u, 7, 3999999999u}, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(has_repeated_ids(cases[i].ids), cases[i].repeated) << i;
}

TEST(SubNodeField, SupportMeshIsAFreshUnsealedCopy) {
  Handle<Coords> c = coords_with(4);
  Handle<SubMesh> s = poi1(c, {3, 1});
  ZoneHandle h = zone(s, {"T"}, {1, 2});
  Mesh m = store::read(h)->support_mesh();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_FALSE(m.subs()[0] == s);
  EXPECT_FALSE(sealed(m.subs()[0]));
  EXPECT_EQ(std::vector<NodeId>(store::read(m.subs()[0])->connectivity().begin(),
                                store::read(m.subs()[0])->connectivity().end()),
            (std::vector<NodeId>{3, 1}));
  EXPECT_TRUE(store::read(h)->coords() == c);
}

// ---------------------------------------------------------------------------
// Container

TEST(NodeField, LookupsPassOverZonesWithoutTheComponentAndTakeTheFirstAnswer) {
  Handle<Coords> c = coords_with(9);
  ZoneHandle a = zone(poi1(c, {7, 3}), {"ux"}, {1, 1});
  ZoneHandle b = zone(poi1(c, {3, 7}), {"T", "ux"}, {5, 2, 6, 3});
  NodeField f = field_of({a, b});
  EXPECT_EQ(f.value(7, "T"), 6.0);
  EXPECT_EQ(f.value(3, "ux"), 1.0);
  EXPECT_EQ(f.value(8, "ux"), std::nullopt);
  EXPECT_EQ(f.value(7, "uz"), std::nullopt);
  const NodeFieldView view(f);
  EXPECT_EQ(view.value(7, "T"), 6.0);
  EXPECT_EQ(view.value(3, "ux"), 1.0);
  EXPECT_EQ(view.components().size(), 2u);
  EXPECT_EQ(f.components(), (Names{"ux", "T"}));
  EXPECT_EQ(f.values_at(std::vector<NodeId>{3, 7, 3}, "T"), (std::vector<double>{5, 6, 5}));
  EXPECT_EQ(error_text([&] { f.values_at(std::vector<NodeId>{3, 8}, "T"); }),
            "no subfield defines (node 8, component T)");
  EXPECT_EQ(f.node_ids(), (std::vector<NodeId>{7, 3}));
  // A zone listed twice and two zones on one support: the view locks each object
  // once and still answers for every position.
  ZoneHandle same_support = zone(store::read(a)->support(), {"T"}, {8, 9});
  NodeField g = field_of({a, a, same_support, b});
  const NodeFieldView shared(g);
  EXPECT_EQ(shared.zone_count(), 4u);
  EXPECT_EQ(&shared.zone(0), &shared.zone(1));
  EXPECT_EQ(&shared.support(0), &shared.support(2));
  EXPECT_EQ(shared.value(7, "T"), 8.0);
  EXPECT_EQ(g.values_at(std::vector<NodeId>{3, 7}, "T"), (std::vector<double>{9, 8}));
}

TEST(NodeField, CoherenceComparesEveryPairAndNaNIsNeverEqual) {
  Handle<Coords> c = coords_with(6);
  struct Case {
    double first, later;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1.0, 2.0, "incoherent NodeField: node 3, component ux: 1 ≠ 2"},
      {kNaN, kNaN, "incoherent NodeField: node 3, component ux: NaN ≠ NaN"},
      {0.5, kNaN, "incoherent NodeField: node 3, component ux: 0.5 ≠ NaN"},
      {0.0, -0.0, "<no error>"},
      {4.0, 4.0, "<no error>"},
  };
  for (const Case& k : cases) {
    NodeField f = field_of({zone(poi1(c, {1, 3}), {"ux"}, {0, k.first}), zone(poi1(c, {3, 4}), {"ux"}, {k.later, 0})});
    EXPECT_EQ(error_text([&] { f.check_coherence(); }), k.text);
  }
  // A NaN held once is fine; so is an empty field.
  EXPECT_EQ(error_text([&] { field_of({zone(poi1(c, {1}), {"ux"}, {kNaN})}).check_coherence(); }), "<no error>");
  EXPECT_EQ(error_text([&] { NodeField().check_coherence(); }), "<no error>");
}

TEST(NodeField, PushSubRepeatsPushZonesDoesNotAndCoordsMustMatch) {
  Handle<Coords> c = coords_with(3), other = coords_with(3);
  ZoneHandle a = zone(poi1(c, {0}), {"T"}, {1});
  ZoneHandle foreign = zone(poi1(other, {0}), {"T"}, {1});
  NodeField f;
  EXPECT_EQ(error_text([&] { f.coords(); }), "index 0 out of bounds (len=0)");
  NodeField().push_sub(foreign);  // an empty field takes anything
  f.push_sub(a);
  f.push_sub(a);
  EXPECT_EQ(f.size(), 2u);
  f.extend_unique(std::vector<ZoneHandle>{a});
  EXPECT_EQ(f.size(), 2u);
  EXPECT_EQ(error_text([&] { f.push_sub(foreign); }), "mismatched Coords");
  EXPECT_EQ(error_text([&] { f.extend_unique(std::vector<ZoneHandle>{foreign}); }), "mismatched Coords");
  EXPECT_EQ(f.size(), 2u);
  EXPECT_TRUE(f.coords() == c);
  EXPECT_EQ(error_text([&] { f.sub_at(2); }), "index 2 out of bounds (len=2)");
  EXPECT_EQ(error_text([&] { f.slice(std::vector<std::uint64_t>{0, 5}); }), "index 5 out of bounds (len=2)");
  // A zone made only for a refused push is freed with it.
  ZoneHandle probe = zone(poi1(other, {1}), {"T"}, {1});
  const ZoneHandle copy = probe;
  EXPECT_EQ(Store<SubNodeField>::instance().use_count(copy), 2u);
  EXPECT_EQ(error_text([&] { f.push_sub(std::move(probe)); }), "mismatched Coords");
  EXPECT_EQ(Store<SubNodeField>::instance().use_count(copy), 1u);
}

TEST(NodeField, FailedConstructionReleasesTheZonesMadeSoFar) {
  Handle<Coords> c = coords_with(3);
  Handle<SubMesh> p = poi1(c, {0, 1});
  const std::size_t free_before = Store<SubNodeField>::instance().n_free();
  const std::size_t entries_before = Store<SubNodeField>::instance().n_entries();
  Handle<SubMesh> stale;
  EXPECT_EQ(error_text([&] { NodeField::with_components_per_submesh(Mesh({p, stale}), {{"a"}, {"b"}}); }),
            quenlith::Error::stale_handle().text());
  // The first zone was stored, then freed again.
  EXPECT_EQ(Store<SubNodeField>::instance().n_entries() - entries_before + free_before,
            Store<SubNodeField>::instance().n_free());
}

// ---------------------------------------------------------------------------
// Consolidation

TEST(Consolidate, ZonesOnOneSupportFuseIntoTheUnionOfTheirComponents) {
  Handle<Coords> c = coords_with(6);
  Handle<SubMesh> s = poi1(c, {4, 1, 2});
  ZoneHandle a = zone(s, {"ux", "uy"}, {1, 2, 3, 4, 5, 6});
  ZoneHandle b = zone(s, {"T", "ux"}, {7, 1, 8, 3, 9, 5});
  ZoneHandle d = zone(poi1(c, {2, 5}), {"T"}, {9, 0});
  NodeField out = consolidate_node(field_of({a, d, b}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FALSE(out.subs()[0] == a);
  EXPECT_TRUE(out.subs()[1] == d);
  EXPECT_EQ(names_of(out.subs()[0]), (Names{"ux", "uy", "T"}));
  EXPECT_EQ(values_of(out.subs()[0]), (std::vector<double>{1, 2, 7, 3, 4, 8, 5, 6, 9}));
  EXPECT_TRUE(store::read(out.subs()[0])->support() == s);
  // The inputs are untouched.
  EXPECT_EQ(values_of(a), (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

TEST(Consolidate, DisagreementsAreReportedWithTheirMessage) {
  Handle<Coords> c = coords_with(6);
  Handle<SubMesh> s = poi1(c, {4, 1, 2});
  struct Case {
    std::vector<double> b;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{1, 2, 3}, "<no error>"},
      {{1, 7, 8}, "incoherent NodeField on shared support: node 1, component ux: 2 ≠ 7"},
      {{kNaN, 2, 3}, "incoherent NodeField on shared support: node 4, component ux: 1 ≠ NaN"},
  };
  for (const Case& k : cases) {
    ZoneHandle a = zone(s, {"ux"}, {1, 2, 3});
    ZoneHandle b = zone(s, {"ux"}, k.b);
    EXPECT_EQ(error_text([&] { consolidate_node(field_of({a, b})); }), k.text);
  }
  // Zones on distinct supports sharing node 2 with different values.
  NodeField f = field_of({zone(s, {"ux"}, {1, 2, 3}), zone(poi1(c, {2}), {"ux"}, {4})});
  EXPECT_EQ(error_text([&] { consolidate_node(f); }), "incoherent NodeField: node 2, component ux: 3 ≠ 4");
  // A NaN at a pair two zones of one support hold fails, whatever the other value.
  NodeField nan = field_of({zone(s, {"ux"}, {kNaN, 2, 3}), zone(s, {"ux"}, {kNaN, 2, 3})});
  EXPECT_EQ(error_text([&] { consolidate_node(nan); }),
            "incoherent NodeField on shared support: node 4, component ux: NaN ≠ NaN");
}

TEST(Consolidate, DistinctSupportsComeBackAsTheSameHandlesAndNothingLeaks) {
  Handle<Coords> c = coords_with(6);
  ZoneHandle a = zone(poi1(c, {0, 1}), {"ux"}, {1, 2});
  ZoneHandle b = zone(poi1(c, {1, 2}), {"ux"}, {2, 3});
  NodeField out = consolidate_node(field_of({b, a}));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out.subs()[0] == b && out.subs()[1] == a);
  // Slicing a field whose zones sit on one support fuses them; a failure frees the
  // fused zone it made.
  Handle<SubMesh> s = poi1(c, {3, 4});
  ZoneHandle x = zone(s, {"T"}, {1, 2});
  ZoneHandle y = zone(s, {"T"}, {1, 5});
  NodeField f = field_of({x, y});
  const std::size_t live = Store<SubNodeField>::instance().n_entries() - Store<SubNodeField>::instance().n_free();
  EXPECT_EQ(error_text([&] { f.slice(std::vector<std::uint64_t>{0, 1}); }),
            "incoherent NodeField on shared support: node 4, component T: 2 ≠ 5");
  EXPECT_EQ(Store<SubNodeField>::instance().n_entries() - Store<SubNodeField>::instance().n_free(), live);
  NodeField same = f.slice(std::vector<std::uint64_t>{1});
  EXPECT_TRUE(same.subs()[0] == y);
  EXPECT_EQ(f.slice(std::vector<std::uint64_t>{}).size(), 0u);
  // The unions: a zone listed twice fuses with itself.
  EXPECT_EQ(NodeField::union_(x, x).subs()[0], x);
  NodeField twice = field_of({x, x});
  NodeField fused = consolidate_node(twice);
  ASSERT_EQ(fused.size(), 1u);
  EXPECT_FALSE(fused.subs()[0] == x);
  EXPECT_EQ(values_of(fused.subs()[0]), (std::vector<double>{1, 2}));
  EXPECT_EQ(NodeField::union_(field_of({a}), field_of({a, b})).size(), 2u);
  EXPECT_EQ(field_of({a}).union_sub(a).size(), 1u);
}

TEST(Consolidate, FusedZoneOnARepeatingSupportIsSelfConsistent) {
  Handle<Coords> c = coords_with(4);
  Handle<SubMesh> s = poi1(c, {3, 1, 3});
  ZoneHandle a = zone(s, {"ux"}, {1, 2, 1});
  ZoneHandle b = zone(s, {"T"}, {5, 6, 5});
  NodeField out = consolidate_node(field_of({a, b}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(values_of(out.subs()[0]), (std::vector<double>{1, 5, 2, 6, 1, 5}));
  // The second row of node 3 disagreeing with its first is a conflict of the pair.
  ZoneHandle bad = zone(s, {"ux"}, {1, 2, 7});
  EXPECT_EQ(error_text([&] { consolidate_node(field_of({bad, b})); }),
            "incoherent NodeField on shared support: node 3, component ux: 1 ≠ 7");
}

// ---------------------------------------------------------------------------
// DOF bridges

TEST(Dofs, ListsKnowWhenTheyAreNodeMajor) {
  struct Case {
    std::vector<std::pair<NodeId, std::string>> entries;
    bool node_major;
    std::vector<NodeId> runs;
  };
  const std::vector<Case> cases = {
      {{}, false, {}},
      {{{4, "ux"}}, true, {4}},
      {{{4, "ux"}, {4, "uy"}}, true, {4}},
      {{{4, "ux"}, {4, "uy"}, {2, "ux"}, {2, "uy"}, {4, "ux"}, {4, "uy"}}, true, {4, 2, 4}},
      {{{4, "ux"}, {4, "uy"}, {2, "ux"}}, false, {}},                  // a run cut short
      {{{4, "ux"}, {4, "uy"}, {2, "uy"}, {2, "ux"}}, false, {}},        // another order
      {{{4, "ux"}, {4, "ux"}}, false, {}},                              // a name twice in a run
      {{{4, "ux"}, {2, "ux"}, {2, "ux"}}, false, {}},                   // one node in two runs in a row
      {{{4, "ux"}, {2, "ux"}, {7, "ux"}}, true, {4, 2, 7}},
      {{{4, "ux"}, {4, "uy"}, {2, "ux"}, {3, "uy"}}, false, {}},        // a node change inside a run
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    DofList dofs;
    for (const auto& [node, name] : cases[i].entries) dofs.push(node, name);
    EXPECT_EQ(dofs.node_major(), cases[i].node_major) << i;
    if (cases[i].node_major)
      EXPECT_EQ(std::vector<NodeId>(dofs.run_nodes().begin(), dofs.run_nodes().end()), cases[i].runs) << i;
  }
}

TEST(Dofs, FromDofValuesCollectsNodesAndNamesByFirstAppearance) {
  Handle<Coords> c = coords_with(6);
  DofList dofs;
  dofs.push(5, "u_x");
  dofs.push(2, "u_x");
  dofs.push(5, "u_y");
  dofs.push(5, "u_x");
  NodeField f = NodeField::from_dof_values(c, dofs, std::vector<double>{1, 2, 3, 4});
  ASSERT_EQ(f.size(), 1u);
  store::ReadGuard<SubNodeField> z = store::read(f.subs()[0]);
  EXPECT_EQ(std::vector<NodeId>(z->nodes().begin(), z->nodes().end()), (std::vector<NodeId>{5, 2}));
  EXPECT_EQ(Names(z->components().begin(), z->components().end()), (Names{"u_x", "u_y"}));
  EXPECT_EQ(std::vector<double>(z->values().begin(), z->values().end()), (std::vector<double>{4, 3, 2, 0}));
  EXPECT_TRUE(sealed(z->support()));
  EXPECT_EQ(store::read(z->support())->element_type(), ElementType::POI1);
}

TEST(Dofs, NodeByNodeListsCopyThroughAndARepeatedNodeKeepsItsLastValue) {
  Handle<Coords> c = coords_with(8);
  DofList dofs;
  for (NodeId id : {6u, 2u, 7u})
    for (const char* v : {"uy", "ux"}) dofs.push(id, v);
  NodeField f = NodeField::from_dof_values(c, dofs, std::vector<double>{1, 2, 3, 4, 5, 6});
  EXPECT_EQ(names_of(f.subs()[0]), (Names{"uy", "ux"}));
  EXPECT_EQ(values_of(f.subs()[0]), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(store::read(f.subs()[0])->has_repeated_nodes());
  // The same layout with node 6 met again: one row per node, the last value kept.
  DofList again = dofs;
  again.push(6, "uy");
  again.push(6, "ux");
  NodeField g = NodeField::from_dof_values(c, again, std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8});
  store::ReadGuard<SubNodeField> z = store::read(g.subs()[0]);
  EXPECT_EQ(std::vector<NodeId>(z->nodes().begin(), z->nodes().end()), (std::vector<NodeId>{6, 2, 7}));
  EXPECT_EQ(std::vector<double>(z->values().begin(), z->values().end()), (std::vector<double>{7, 8, 3, 4, 5, 6}));
}

TEST(Dofs, ARunThroughALaterZoneStopsWhereAnEarlierZoneAnswers) {
  Handle<Coords> c = coords_with(20);
  std::vector<NodeId> a_ids, b_ids;
  for (NodeId i = 0; i < 10; ++i) a_ids.push_back(i);
  for (NodeId i = 5; i < 15; ++i) b_ids.push_back(i);
  std::vector<double> av(10), bv(20);
  for (std::size_t i = 0; i < av.size(); ++i) av[i] = 100.0 + double(i);
  for (std::size_t i = 0; i < bv.size(); ++i) bv[i] = double(i);
  NodeField f = field_of({zone(poi1(c, a_ids), {"ux"}, av), zone(poi1(c, b_ids), {"ux", "uy"}, bv)});
  DofList dofs;
  std::vector<double> expected;
  for (NodeId id : b_ids) {
    dofs.push(id, "ux");
    expected.push_back(id < 10 ? 100.0 + id : double((id - 5) * 2));
    dofs.push(id, "uy");
    expected.push_back(double((id - 5) * 2 + 1));
  }
  EXPECT_EQ(f.dof_values(dofs), expected);
  EXPECT_EQ(f.values_at(b_ids, "ux"), (std::vector<double>{105, 106, 107, 108, 109, 10, 12, 14, 16, 18}));
}

TEST(Dofs, FromDofValuesErrors) {
  Handle<Coords> c = coords_with(3);
  DofList one;
  one.push(1, "T");
  EXPECT_EQ(error_text([&] { NodeField::from_dof_values(c, one, std::vector<double>{}); }),
            "from_dof_values: 1 dof(s) but 0 value(s)");
  EXPECT_EQ(error_text([&] { NodeField::from_dof_values(c, DofList{}, std::vector<double>{}); }),
            "SubNodeField requires at least one component");
  DofList dead;
  dead.push(1, "T");
  dead.push(9, "T");
  EXPECT_EQ(error_text([&] { NodeField::from_dof_values(c, dead, std::vector<double>{1, 2}); }),
            "node 9 not found or collected");
  // Ids far apart take the hashed path.
  DofList far;
  far.push(4000000000u, "T");
  EXPECT_EQ(error_text([&] { NodeField::from_dof_values(c, far, std::vector<double>{1}); }),
            "node 4000000000 not found or collected");
}

TEST(Dofs, DofValuesRoundTripAndZeroWhereNothingAnswers) {
  Handle<Coords> c = coords_with(50);
  Handle<SubMesh> s = poi1(c, {4, 9, 1, 30, 7});
  ZoneHandle a = zone(s, {"ux", "uy"}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  ZoneHandle b = zone(poi1(c, {30, 2}), {"T", "ux"}, {11, 7, 12, 13});
  NodeField f = field_of({a, b});
  DofList dofs;
  const std::vector<std::pair<NodeId, std::string>> pairs = {
      {4, "ux"}, {4, "uy"}, {9, "ux"}, {9, "uy"}, {2, "ux"}, {2, "T"}, {30, "T"}, {30, "ux"},
      {7, "uy"}, {1, "T"},  {1, "uz"}, {4, "ux"}, {2, "ux"}, {49, "ux"}};
  for (const auto& [n, v] : pairs) dofs.push(n, v);
  const std::vector<double> expected = {1, 2, 3, 4, 13, 12, 11, 7, 10, 0, 0, 1, 13, 0};
  EXPECT_EQ(f.dof_values(dofs), expected);
  // Each DOF read back from the field made of them.
  NodeField back = NodeField::from_dof_values(c, dofs, expected);
  EXPECT_EQ(back.dof_values(dofs), expected);
  EXPECT_EQ(NodeField().dof_values(dofs), std::vector<double>(dofs.size(), 0.0));
  EXPECT_EQ(NodeField().value(4, "ux"), std::nullopt);
}

TEST(Dofs, BulkReadsAgreeWithSingleLookupsInAnyOrder) {
  Handle<Coords> c = coords_with(400);
  std::vector<NodeId> a_ids, b_ids;
  for (NodeId i = 0; i < 300; ++i) a_ids.push_back((i * 7) % 300);
  for (NodeId i = 250; i < 400; ++i) b_ids.push_back(i);
  std::vector<double> av(a_ids.size() * 2), bv(b_ids.size());
  for (std::size_t i = 0; i < av.size(); ++i) av[i] = double(i) * 0.5;
  for (std::size_t i = 0; i < bv.size(); ++i) bv[i] = -double(i);
  ZoneHandle a = zone(poi1(c, a_ids), {"ux", "T"}, av);
  ZoneHandle b = zone(poi1(c, b_ids), {"T"}, bv);
  NodeField f = field_of({a, b});
  std::vector<NodeId> order;
  for (NodeId i = 0; i < 400; ++i) order.push_back(i);
  for (NodeId i = 0; i < 400; ++i) order.push_back((i * 131) % 400);
  for (NodeId i = 400; i-- > 0;) order.push_back(i);
  DofList dofs;
  for (NodeId id : order) {
    dofs.push(id, "T");
    dofs.push(id, "ux");
  }
  // Node-major lists in the first zone's own order, following its rows for a while
  // and then leaving them (another order, nodes of the other zone, unknown nodes).
  DofList in_order;
  for (NodeId i = 0; i < 150; ++i)
    for (const char* v : {"ux", "T"}) in_order.push(a_ids[i], v);
  for (NodeId id : {399u, 260u, 20u, 21u, 22u})
    for (const char* v : {"ux", "T"}) in_order.push(id, v);
  for (NodeId i = 280; i < 300; ++i)
    for (const char* v : {"ux", "T"}) in_order.push(a_ids[i], v);
  ASSERT_TRUE(in_order.node_major());
  for (const DofList* list : {&dofs, &in_order}) {
    const std::vector<double> bulk = f.dof_values(*list);
    for (std::size_t k = 0; k < list->size(); ++k)
      EXPECT_EQ(bulk[k], f.value(list->nodes()[k], list->names()[list->vars()[k]]).value_or(0.0)) << k;
  }
}

// ---------------------------------------------------------------------------
// Text forms

TEST(NodeFieldText, DisplayDebugAndDump) {
  Handle<Coords> c = coords_with(5);
  Handle<SubMesh> s = poi1(c, {0, 1, 2, 4});
  ZoneHandle h = zone(s, {"ux", "uy"}, {0, 0, 1.5, -2, 0, 0, 10, 0.25});
  store::ReadGuard<SubNodeField> z = store::read(h);
  EXPECT_EQ(z->display_text(), "SubNodeField: 4 node(s), 2 component(s) [ux, uy]");
  EXPECT_EQ(z->debug_text(), fmt::format("SubNodeField {{ support: Handle<quenlith::containers::mesh::SubMesh>{{ idx: "
                                         "{}, gen: {} }}, node_count: 4, components: [\"ux\", \"uy\"] }}",
                                         s.idx(), s.gen()));
  EXPECT_EQ(z->dump_text({}),
            "SubNodeField: 4 node(s), 2 component(s) [ux, uy]\n"
            "node      ux      uy\n"
            "   0   0.000   0.000\n"
            "   1   1.500  -2.000\n"
            "   2   0.000   0.000\n"
            "   4  10.000   0.250\n");
  EXPECT_EQ(z->dump_text({3, 20, 1}),
            "SubNodeField: 4 node(s), 2 component(s) [ux, uy]\n"
            "node      ux  …\n"
            "   0   0.000  …\n"
            "   1   1.500  …\n"
            "   2   0.000  …\n"
            "   4  10.000  …\n"
            "… (1 colonne(s) de plus)\n");
  NodeField empty;
  EXPECT_EQ(empty.display_text(), "NodeField: 0 subfield(s)");
  EXPECT_EQ(empty.debug_text(), "NodeField { count: 0, items: [] }");
  EXPECT_EQ(empty.dump_text({}), "NodeField: 0 subfield(s)\n");
  NodeField one = field_of({h});
  EXPECT_EQ(one.debug_text(), "NodeField { count: 1, items: [" + z->debug_text() + "] }");
  EXPECT_EQ(one.display_text(), "NodeField: 1 subfield(s)");
}

// ---------------------------------------------------------------------------
// Swap record

using NodeFieldSwap = quenlith::testing::SwapDirTest;

TEST_F(NodeFieldSwap, ZoneSwappedOutAndReadBackIsUnchanged) {
  Handle<Coords> c = coords_with(5);
  Handle<SubMesh> s = poi1(c, {4, 0, 4, 2});
  ZoneHandle h = zone(s, {"ux", "température"}, {1, 2, 3, 4, kNaN, -0.0, 7, 8});
  const std::string debug = store::read(h)->debug_text();
  const std::string dump = store::read(h)->dump_text({});
  const std::uint32_t support_count = Store<SubMesh>::instance().use_count(s);
  Store<SubNodeField>::instance().swap_out(h);
  EXPECT_EQ(Store<SubNodeField>::instance().residency(h), store::ResidencyKind::SwappedOut);
  EXPECT_EQ(Store<SubMesh>::instance().use_count(s), support_count);  // the record holds its unit
  {
    store::ReadGuard<SubNodeField> z = store::read(h);
    EXPECT_EQ(z->debug_text(), debug);
    EXPECT_EQ(z->dump_text({}), dump);
    EXPECT_TRUE(z->support() == s);
    EXPECT_EQ(z->value(4, "température"), 2.0);  // first row of the repeated node
    EXPECT_TRUE(std::signbit(z->get(2, 1)) && std::isnan(z->get(2, 0)));
  }
  Store<SubNodeField>::instance().swap_out(h);
  h = ZoneHandle();  // released while out: the record gives its support unit back
  EXPECT_EQ(Store<SubMesh>::instance().use_count(s), support_count - 1);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(NodeFieldSwap, AnUnreadableZoneShowsItsHandleInReprAndItsErrorInTheDump) {
  Handle<Coords> c = coords_with(3);
  ZoneHandle a = zone(poi1(c, {0}), {"T"}, {1});
  ZoneHandle b = zone(poi1(c, {1}), {"T"}, {2});
  ZoneHandle d = zone(poi1(c, {2}), {"T"}, {3});
  NodeField f = field_of({a, b, d});
  Store<SubNodeField>::instance().swap_out(b);
  fs::resize_file(*Store<SubNodeField>::instance().swap_path(b), 5);
  EXPECT_EQ(f.debug_text(), "NodeField { count: 3, items: [" + store::read(a)->debug_text() + ", " + b.debug_text() +
                                ", " + store::read(d)->debug_text() + "] }");
  const std::string dump = f.dump_text({});
  EXPECT_NE(dump.find("── [1] ──\n  <serialization error: io error: unexpected end of file>\n── [2] ──\n"),
            std::string::npos)
      << dump;
  EXPECT_EQ(error_text([&] { f.value(1, "T"); }), "serialization error: io error: unexpected end of file");
  EXPECT_EQ(f.value(0, "T"), 1.0);  // found in the first zone before the broken one is read
}

std::vector<std::uint8_t> record_of(const SubNodeField& z) {
  store::RecordWriter w;
  z.encode(w);
  return w.bytes();
}

TEST(NodeFieldRecord, DamagedRecordsAreRefused) {
  Handle<Coords> c = coords_with(3);
  ZoneHandle h = zone(poi1(c, {0, 2}), {"T"}, {1, 2});
  const std::vector<std::uint8_t> good = record_of(*store::read(h));
  // support (8) | nodes: count 2 (8) + 8 | names: count 1 (8) + len 1 (8) + 'T' | values: count 2 (8) + 16
  ASSERT_EQ(good.size(), 8u + 16 + 17 + 24);
  auto decode = [](std::vector<std::uint8_t> bytes) {
    store::detail::OwnershipNeutralScope neutral;  // the units stay with the bytes
    store::RecordReader r(bytes);
    (void)SubNodeField::decode(r);
  };
  EXPECT_EQ(error_text([&] { decode(good); }), "<no error>");
  auto cut = good;
  cut.resize(good.size() - 3);
  EXPECT_EQ(error_text([&] { decode(cut); }), quenlith::Error::serialization("io error: unexpected end of file").text());
  auto fewer = good;
  fewer[8 + 16 + 17] = 1;  // one value for two nodes, then stray bytes
  EXPECT_EQ(error_text([&] { decode(fewer); }),
            quenlith::Error::serialization("SubNodeField record: 1 value(s) for 2 node(s) × 1 component(s)").text());
  auto no_name = good;
  std::vector<std::uint8_t> empty_names(8, 0);
  no_name.erase(no_name.begin() + 24, no_name.begin() + 24 + 17);
  no_name.insert(no_name.begin() + 24, empty_names.begin(), empty_names.end());
  EXPECT_EQ(error_text([&] { decode(no_name); }),
            quenlith::Error::serialization("SubNodeField record: no component").text());
  auto name_past_end = good;
  name_past_end[8 + 16 + 8] = 10;  // the name claims 10 bytes
  name_past_end.resize(8 + 16 + 8 + 8 + 3);
  EXPECT_EQ(error_text([&] { decode(name_past_end); }), quenlith::Error::serialization("io error: ").text());
}

// ---------------------------------------------------------------------------
// Threads

// One thread adds cells to a POI1 submesh while another makes zones on it: every
// zone's rows are exactly the cells the support had when it was sealed, and the
// cells stop there.
TEST(NodeFieldThreads, ZonesNeverDisagreeWithTheirSupport) {
  for (int round = 0; round < 20; ++round) {
    Handle<Coords> c = coords_with(64);
    Handle<SubMesh> s = poi1(c, {});
    std::atomic<bool> go{false};
    std::thread writer([&] {
      while (!go.load()) {
      }
      for (NodeId i = 0;; i = (i + 1) % 64) {
        const NodeId id[] = {i};
        try {
          store::write(s)->add_cell(id);
        } catch (const quenlith::Error& e) {
          EXPECT_EQ(e.kind(), quenlith::Error::Kind::MeshSealed);
          return;
        }
      }
    });
    go = true;
    std::vector<ZoneHandle> made;
    for (int i = 0; i < 4; ++i) made.push_back(store::insert(SubNodeField::create(s, {"T"})));
    writer.join();
    store::ReadGuard<SubMesh> support = store::read(s);
    for (const ZoneHandle& z : made) {
      store::ReadGuard<SubNodeField> g = store::read(z);
      EXPECT_TRUE(std::equal(g->nodes().begin(), g->nodes().end(), support->connectivity().begin(),
                             support->connectivity().end()));
      EXPECT_EQ(g->values().size(), support->connectivity().size());
    }
  }
}

}  // namespace

namespace {

TEST(NodeFieldComponents, SelectKeepsTheZonesOrderAndFilterSharesWholeZones) {
  Handle<Coords> c = coords_with(4);
  Handle<SubMesh> s = poi1(c, {1, 3});
  ZoneHandle a = zone(s, {"ux", "uy", "T"}, {1, 2, 3, 4, 5, 6});
  ZoneHandle b = zone(poi1(c, {0}), {"uy"}, {9});
  ZoneHandle d = zone(poi1(c, {2}), {"p"}, {7});
  SubNodeField picked = store::read(a)->select_components(Names{"T", "ux", "ux", "zz"});
  EXPECT_EQ(Names(picked.components().begin(), picked.components().end()), (Names{"ux", "T"}));
  EXPECT_EQ(std::vector<double>(picked.values().begin(), picked.values().end()), (std::vector<double>{1, 3, 4, 6}));
  EXPECT_TRUE(picked.support() == s);
  EXPECT_EQ(error_text([&] { store::read(a)->select_components(Names{"p", "q\""}); }),
            "select_components: this sub-field carries none of [\"p\", \"q\\\"\"]");
  EXPECT_EQ(error_text([&] { store::read(a)->select_components(Names{}); }),
            "select_components: this sub-field carries none of []");
  NodeField f = field_of({a, b, d});
  NodeField only = f.filter_components(Names{"uy"});
  ASSERT_EQ(only.size(), 2u);
  EXPECT_FALSE(only.subs()[0] == a);
  EXPECT_TRUE(only.subs()[1] == b);  // carries only listed names: shared
  EXPECT_EQ(values_of(only.subs()[0]), (std::vector<double>{2, 5}));
  EXPECT_EQ(error_text([&] { f.filter_components(Names{"w"}); }), "filter_components: no zone carries any of [\"w\"]");
}

}  // namespace
