// The topology tools in the core: the inversion permutations, and results that do
// not depend on the number of worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/mesher/border.hpp"
#include "ops/mesher/consolidate.hpp"
#include "ops/mesher/inversion.hpp"
#include "ops/mesher/merge_nodes.hpp"
#include "ops/mesher/orient.hpp"
#include "ops/mesher/skin.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::containers::mesh;
namespace mesher = quenlith::ops::mesher;
namespace store = quenlith::store;

class InversionPermutation : public ::testing::TestWithParam<ElementType> {};

TEST_P(InversionPermutation, IsAnInvolutionOfTheNodes) {
  const ElementType t = GetParam();
  const auto perm = mesher::inversion_permutation(t);
  ASSERT_EQ(perm.size(), nodes_per_cell(t));
  std::vector<int> seen(perm.size(), 0);
  for (std::size_t k = 0; k < perm.size(); ++k) {
    ASSERT_LT(perm[k], perm.size());
    ++seen[perm[k]];
    EXPECT_EQ(perm[perm[k]], k) << name(t) << " position " << k;
  }
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));
}

TEST_P(InversionPermutation, QuadraticCornersMoveLikeTheLinearType) {
  const ElementType t = GetParam();
  const ElementType linear[] = {ElementType::SEG2, ElementType::TRI3,   ElementType::QUA4, ElementType::TET4,
                                ElementType::PENTA6, ElementType::HEX8};
  for (ElementType l : linear) {
    const auto lp = mesher::inversion_permutation(l);
    const auto ref = reference_nodes(t), lref = reference_nodes(l);
    // Same family: the quadratic type starts with the linear type's reference corners.
    if (ref_dim(l) != ref_dim(t) || nodes_per_cell(l) > nodes_per_cell(t) ||
        !std::equal(lref.begin(), lref.end(), ref.begin()))
      continue;
    const auto perm = mesher::inversion_permutation(t);
    for (std::size_t k = 0; k < lp.size(); ++k) EXPECT_EQ(perm[k], lp[k]) << name(t);
  }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, InversionPermutation, ::testing::ValuesIn(all_element_types()),
                         [](const auto& info) { return std::string(name(info.param)); });

// An n^3 block of HEX8 cells whose second half is a copy on its own nodes, so that
// welding has a seam to close.
Mesh two_blocks(std::uint32_t n) {
  store::Handle<Coords> coords = store::insert(Coords(3));
  const std::uint32_t m = n + 1;
  auto id = [&](std::uint32_t base, std::uint32_t i, std::uint32_t j, std::uint32_t k) {
    return base + (k * m + j) * m + i;
  };
  {
    store::WriteGuard<Coords> g = store::write(coords);
    for (int block = 0; block < 2; ++block)
      for (std::uint32_t k = 0; k < m; ++k)
        for (std::uint32_t j = 0; j < m; ++j)
          for (std::uint32_t i = 0; i < m; ++i) {
            const double p[] = {double(i) + double(block) * n, double(j), double(k)};
            g->decref(g->add_node(p));
          }
  }
  Mesh mesh;
  for (std::uint32_t block = 0; block < 2; ++block) {
    SubMesh sub(ElementType::HEX8, coords);
    const std::uint32_t base = block * m * m * m;
    for (std::uint32_t k = 0; k < n; ++k)
      for (std::uint32_t j = 0; j < n; ++j)
        for (std::uint32_t i = 0; i < n; ++i) {
          NodeId cell[] = {id(base, i, j, k),         id(base, i + 1, j, k),         id(base, i + 1, j + 1, k),
                           id(base, i, j + 1, k),     id(base, i, j, k + 1),         id(base, i + 1, j, k + 1),
                           id(base, i + 1, j + 1, k + 1), id(base, i, j + 1, k + 1)};
          // Every third cell reversed, for orient to mend.
          if ((i + j + k) % 3 == 0) std::swap(cell[1], cell[3]), std::swap(cell[5], cell[7]);
          sub.add_cell(cell);
        }
    mesh.push_sub(store::insert(std::move(sub)));
  }
  return mesh;
}

std::vector<std::vector<NodeId>> connectivities(const Mesh& mesh) {
  std::vector<std::vector<NodeId>> out;
  for (const auto& h : mesh.subs()) {
    store::ReadGuard<SubMesh> g = store::read(h);
    out.emplace_back(g->connectivity().begin(), g->connectivity().end());
  }
  return out;
}

TEST(Topology, ResultsDoNotDependOnTheThreadCount) {
  const Mesh input = two_blocks(4);
  auto run_all = [&] {
    std::vector<std::vector<std::vector<NodeId>>> out;
    const Mesh welded = mesher::merge_nodes(input, 1e-9);
    out.push_back(connectivities(welded));
    out.push_back(connectivities(mesher::orient(input)));
    const Mesh surface = mesher::skin(mesher::orient(welded), std::nullopt);
    out.push_back(connectivities(surface));
    out.push_back(connectivities(mesher::border(Mesh(std::vector(surface.subs().begin(), surface.subs().begin() + 1)))));
    out.push_back(connectivities(mesher::consolidate_mesh(input)));
    return out;
  };
  std::vector<std::vector<std::vector<NodeId>>> one;
  {
    quenlith::parallel::ThreadLimit limit(1);
    one = run_all();
  }
  EXPECT_EQ(one, run_all());
  // The welded, harmonised blocks form one 8 x 4 x 4 box: six flat faces.
  EXPECT_EQ(one[2].size(), 6u);
}

// A stored submesh whose record names node 7 of a Coords of four nodes: what a
// damaged swap file may hold (records are not checked against their Coords).
// Every operation must refuse the id before using it to index coordinates.
Mesh mesh_with_a_dead_node(ElementType t, std::vector<NodeId> ids) {
  store::Handle<Coords> coords = store::insert(Coords(3));
  {
    store::WriteGuard<Coords> g = store::write(coords);
    for (int i = 0; i < 4; ++i) {
      const double p[] = {double(i == 1), double(i == 2), double(i == 3)};
      g->add_node(p);  // its count of 1 is the record's reference
    }
  }
  quenlith::store::RecordWriter w;
  w.write_variant(static_cast<std::uint32_t>(t));
  w.write_handle(coords);
  w.write_u32_list(ids);
  for (int i = 0; i < 3; ++i) w.write_u8(0);
  w.write_bool(false);
  // The decoded handle adopts one unit of the Coords' count: a clone that is never
  // released hands it over.
  alignas(store::Handle<Coords>) static unsigned char units[8][sizeof(store::Handle<Coords>)];
  static int used = 0;
  new (units[used++]) store::Handle<Coords>(coords);
  quenlith::store::RecordReader r(w.bytes());
  std::vector<store::Handle<SubMesh>> subs;
  subs.push_back(store::insert(SubMesh::decode(r)));
  return Mesh(std::move(subs));
}

TEST(Topology, EveryToolRefusesANodeThatIsNotAlive) {
  const std::string dead = "node 7 not found or collected";
  using quenlith::testing::error_text;
  EXPECT_EQ(error_text([&] { mesher::orient(mesh_with_a_dead_node(ElementType::TET4, {0, 1, 2, 7})); }), dead);
  EXPECT_EQ(error_text([&] { mesher::skin(mesh_with_a_dead_node(ElementType::TET4, {0, 1, 2, 7}), 1.0); }), dead);
  EXPECT_EQ(error_text([&] { mesher::merge_nodes(mesh_with_a_dead_node(ElementType::TET4, {0, 1, 2, 7}), 0.0); }),
            dead);
  EXPECT_EQ(error_text([&] { mesher::consolidate_mesh(mesh_with_a_dead_node(ElementType::TET4, {0, 1, 2, 7})); }),
            dead);
  EXPECT_EQ(error_text([&] { mesher::border(mesh_with_a_dead_node(ElementType::TRI3, {0, 1, 7})); }), dead);
}

}  // namespace
