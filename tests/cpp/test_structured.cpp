// The structured generators' internals: bulk node references (and their roll-back),
// the chain of a line, the node counts of the patch conversions, the QUA8 -> QUA9
// step's refusals, and generators reading swapped-out inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/mesh/node_refs.hpp"
#include "ops/mesher/sweep.hpp"
#include "ops/mesher/sweep_kernel.hpp"
#include "ops/mesher/transform.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace quenlith::containers::mesh;
using namespace quenlith::ops::mesher;
using quenlith::store::Handle;
using quenlith::store::Store;
namespace store = quenlith::store;
using quenlith::testing::coords_with;
using quenlith::testing::error_text;

std::vector<std::uint32_t> counts(const Handle<Coords>& c) {
  store::ReadGuard<Coords> g = store::read(c);
  std::vector<std::uint32_t> out;
  for (NodeId i = 0; i < g->capacity(); ++i) out.push_back(g->refcount(i));
  return out;
}

Mesh line_mesh(const Handle<Coords>& c, std::vector<NodeId> chain) {
  SubMesh s(ElementType::SEG2, c);
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    const NodeId cell[] = {chain[i], chain[i + 1]};
    s.add_cell(cell);
  }
  return Mesh::from_submesh(std::move(s));
}

TEST(NodeRefs, BatchesHoldOneReferenceEachAndGiveThemAllBack) {
  Handle<Coords> c = coords_with(3);
  {
    NodeRefs refs(c);
    const NodeId ids[] = {0, 2, 2};
    refs.acquire(ids);
    const double points[] = {5, 5, 6, 6};
    refs.create(points);
    EXPECT_EQ(std::vector<NodeId>(refs.ids().begin(), refs.ids().end()), (std::vector<NodeId>{0, 2, 2, 3, 4}));
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 0, 2, 1, 1}));
    // A batch naming a node that is not live takes nothing: the references taken
    // for its earlier ids are given back, the earlier batches kept.
    { store::write(c)->gc(); }  // collects node 1
    const NodeId bad[] = {3, 0, 1, 4};
    EXPECT_EQ(error_text([&] { refs.acquire(bad); }), "node 1 not found or collected");
    EXPECT_EQ(refs.size(), 5u);
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 0, 2, 1, 1}));
  }
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0, 0, 0}));
}

TEST(NodeRefs, FinitePointsChecksLivenessThenFiniteness) {
  Handle<Coords> c = coords_with(2);
  {
    store::WriteGuard<Coords> g = store::write(c);
    const double nan_point[] = {1.0, std::numeric_limits<double>::quiet_NaN()};
    g->decref(g->add_node(nan_point));
  }
  std::size_t dim = 0;
  const NodeId ok[] = {1, 0};
  EXPECT_EQ(finite_points("op", c, ok, dim), (std::vector<double>{1, 0, 0, 0}));
  EXPECT_EQ(dim, 2u);
  const NodeId with_nan[] = {2, 7};
  EXPECT_EQ(error_text([&] { finite_points("op", c, with_nan, dim); }), "node 7 not found or collected");
  const NodeId only_nan[] = {0, 2};
  EXPECT_EQ(error_text([&] { finite_points("op", c, only_nan, dim); }), "op: node 2 has a non-finite coordinate");
}

TEST(StructuredCounts, ChainsAndConversionNodesSaturate) {
  const NodeId conn[] = {4, 5, 5, 9, 9, 2};
  EXPECT_EQ(line_chain(conn), (std::vector<NodeId>{4, 5, 9, 2}));
  EXPECT_TRUE(line_chain({}).empty());
  // a 2 x 3 patch: 3·3 + 2·4 = 17 edges, 6 quadrilaterals
  EXPECT_EQ(patch_conversion_nodes(2, 3, ElementType::QUA8), 17u);
  EXPECT_EQ(patch_conversion_nodes(2, 3, ElementType::TRI6), 23u);
  EXPECT_EQ(patch_conversion_nodes(2, 3, ElementType::QUA9), 23u);
  EXPECT_EQ(patch_conversion_nodes(2, 3, ElementType::TRI3), 0u);
  EXPECT_EQ(patch_conversion_nodes(UINT64_MAX, 2, ElementType::QUA8), UINT64_MAX);
  EXPECT_EQ(patch_conversion_nodes(1ull << 32, 1ull << 32, ElementType::QUA9), UINT64_MAX);
  EXPECT_EQ(sat_add(UINT64_MAX, 1), UINT64_MAX);
  EXPECT_EQ(sat_mul(1ull << 32, 1ull << 32), UINT64_MAX);
}

TEST(StructuredConversions, Quad9StepRefusesOtherTypesAndKeepsColours) {
  Handle<Coords> c = coords_with(4);
  SubMesh quads(ElementType::QUA4, c);
  const NodeId cell[] = {0, 1, 2, 3};
  quads.add_cell(cell);
  quads.set_face_color(RgbColor{1, 2, 3});
  const Mesh quad4 = Mesh::from_submesh(std::move(quads));
  EXPECT_EQ(error_text([&] { quadratic_to_quad9(quad4); }), "quadratic_to_quad9: expected QUA8 cells, got QUA4");
  EXPECT_EQ(error_text([&] { quadratic_to_quad9(Mesh()); }), "coords: mesh has no submeshes");
  EXPECT_EQ(error_text([&] { convert_patch("op", Mesh(), ElementType::TET4); }),
            "op: unsupported element type TET4 (expected QUA4, TRI3, QUA8, QUA9, TRI6)");
  const Mesh quad9 = convert_patch("op", quad4, ElementType::QUA9);
  store::ReadGuard<SubMesh> g = store::read(quad9.subs()[0]);
  EXPECT_EQ(g->element_type(), ElementType::QUA9);
  EXPECT_EQ(g->face_color(), (RgbColor{1, 2, 3}));
  // centre node 8 at the mean of the corners (0, 1, 2, 3 on the x axis)
  EXPECT_EQ(store::read(c)->coord(g->cell(0)[8]), (std::vector<double>{1.5, 0.0}));
}

class StructuredSwap : public quenlith::testing::SwapDirTest {};

TEST_F(StructuredSwap, GeneratorsReadSwappedOutInputsBack) {
  Handle<Coords> c = coords_with(6);
  const Mesh a = line_mesh(c, {0, 1, 2});
  const Mesh b = line_mesh(c, {3, 4, 5});
  Store<SubMesh>::instance().swap_out(a.subs()[0]);
  Store<SubMesh>::instance().swap_out(b.subs()[0]);
  Store<Coords>::instance().swap_out(c);
  const Mesh quads = sweep(a, b, 2, ElementType::QUA4);
  EXPECT_EQ(store::read(quads.subs()[0])->connectivity().size(), 16u);
  Store<Coords>::instance().swap_out(c);
  const Mesh moved = translate(quads, std::vector<double>{0.0, 1.0});
  EXPECT_EQ(counts(c).size(), 6u + 3u + 9u);
  // 0..5 held by the lines and the quads, 6..8 by the quads; the copies, made in
  // order of first use (0, 1, 7, 6, 2, 8, 4, 3, 5), by the cells of theirs
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{2, 4, 2, 2, 4, 2, 2, 4, 2, 1, 2, 4, 2, 1, 2, 2, 1, 1}));
}

}  // namespace
