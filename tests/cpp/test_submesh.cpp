// SubMesh, Mesh and Cell in the core: reference counting of cells (with roll-back),
// sealing, node clouds, unions, the swap record and a swap-out round trip.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>

#include "containers/mesh/cell.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace quenlith::containers::mesh;
using quenlith::Error;
using quenlith::store::Handle;
using quenlith::store::RecordReader;
using quenlith::store::RecordWriter;
using quenlith::store::ResidencyKind;
using quenlith::store::Store;
namespace store = quenlith::store;

using quenlith::testing::coords_with;
using quenlith::testing::error_text;

std::uint32_t refcount(const Handle<Coords>& h, NodeId id) { return store::read(h)->refcount(id); }

std::vector<std::uint32_t> counts(const Handle<Coords>& h) {
  store::ReadGuard<Coords> g = store::read(h);
  std::vector<std::uint32_t> out;
  for (NodeId i = 0; i < g->capacity(); ++i) out.push_back(g->refcount(i));
  return out;
}

TEST(SubMesh, CellsCountOneReferencePerEntryAndGiveThemBack) {
  Handle<Coords> c = coords_with(4);
  {
    SubMesh s(ElementType::TRI3, c);
    const NodeId a[] = {0, 1, 2}, b[] = {2, 2, 3};
    EXPECT_EQ(s.add_cell(a), 0u);
    EXPECT_EQ(s.add_cell(b), 1u);  // a repeated node counts twice
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 3, 1}));
    Handle<SubMesh> h = store::insert(std::move(s));
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 3, 1}));
  }  // last handle gone: every reference given back
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(store::write(c)->gc(), 4u);
}

TEST(SubMesh, UnstoredValuesGiveTheirReferencesBack) {
  Handle<Coords> c = coords_with(3);
  {
    SubMesh t(ElementType::SEG2, c);
    const NodeId seg[] = {0, 2};
    t.add_cell(seg);
    SubMesh copy = t.duplicate();
    SubMesh moved = std::move(copy);  // the moved-from value gives nothing back
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{2, 0, 2}));
    moved = SubMesh::poi1_from_ids(c, std::vector<NodeId>{1});  // the old cells go on assignment
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 1}));
  }
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(SubMesh, RefusedCellRollsBackRepeatsAndImmortalCounts) {
  // Nodes 0 to 2 collected, 3 held once, 4 at the immortal count (2^32 - 1 cannot be
  // reached by increments in a test, so the registry is read from a record).
  RecordWriter w;
  w.write_u8(1);
  w.write_u64(1);
  w.write_f64_list(std::vector<double>{0, 1, 2, 3, 4});
  w.write_string_list(std::vector<std::string>{"default"});
  w.write_u64(0);
  w.write_bool_list(std::vector<bool>{false, false, false, true, true});
  w.write_u32_list(std::vector<std::uint32_t>{0, 0, 0, 1, Coords::kImmortalCount});
  w.write_option_tag(false);
  const std::vector<std::uint8_t> bytes = w.take();
  RecordReader r(bytes);
  Handle<Coords> c = store::insert(Coords::decode(r));
  SubMesh s(ElementType::QUA4, c);
  const NodeId bad[] = {3, 4, 3, 1};
  EXPECT_EQ(error_text([&] { s.add_cell(bad); }), "node 1 not found or collected");
  EXPECT_EQ(refcount(c, 3), 1u);
  EXPECT_EQ(refcount(c, 4), Coords::kImmortalCount);
  EXPECT_EQ(s.cell_count(), 0u);
  const NodeId good[] = {3, 4, 3, 4};
  EXPECT_EQ(s.add_cell(good), 0u);
  EXPECT_EQ(refcount(c, 3), 3u);
  EXPECT_EQ(refcount(c, 4), Coords::kImmortalCount);  // saturated: stays
}

TEST(SubMesh, RefusedCellRollsBackAndChangesNothing) {
  Handle<Coords> c = coords_with(3);
  store::write(c)->gc();  // every node collected...
  {
    store::WriteGuard<Coords> g = store::write(c);
    const double xy[] = {5.0, 5.0};
    g->add_node(xy);  // ...but node 3, held once by us
    g->add_node(xy);  // and node 4
  }
  SubMesh s(ElementType::TRI3, c);
  const NodeId bad[] = {3, 4, 1};
  EXPECT_EQ(error_text([&] { s.add_cell(bad); }), "node 1 not found or collected");
  EXPECT_EQ(refcount(c, 3), 1u);
  EXPECT_EQ(refcount(c, 4), 1u);
  EXPECT_EQ(s.cell_count(), 0u);
  const NodeId two[] = {3, 4};
  EXPECT_EQ(error_text([&] { s.add_cell(two); }), "add_cell(TRI3): expected 3 nodes, got 2");
  EXPECT_EQ(error_text([&] { s.add_cell_taking(two); }), "add_cell_taking(TRI3): expected 3 nodes, got 2");
  EXPECT_EQ(error_text([&] { s.add_cell_taking(bad); }), "add_cell_taking: node 1 is not alive");
}

TEST(SubMesh, CellBatchesCountLikeSingleCellsAndRollBackWhole) {
  Handle<Coords> c = coords_with(5);
  SubMesh s(ElementType::TRI3, c);
  const NodeId two_cells[] = {0, 1, 2, 2, 3, 0};
  EXPECT_EQ(s.add_cells(two_cells), 0u);
  EXPECT_EQ(s.add_cells({}), 2u);
  store::write(c)->gc();  // node 4, the only one without a holder
  const NodeId bad[] = {0, 1, 2, 0, 1, 4};
  EXPECT_EQ(error_text([&] { s.add_cells(bad); }), "node 4 not found or collected");
  const NodeId partial[] = {0, 1, 2, 3, 0};
  EXPECT_EQ(error_text([&] { s.add_cells(partial); }), "add_cells(TRI3): 5 node ids are not whole cells of 3 nodes");
  EXPECT_EQ(s.cell_count(), 2u);
  for (NodeId id = 0; id < 4; ++id) EXPECT_EQ(refcount(c, id), id == 0 || id == 2 ? 2u : 1u) << id;
  s.seal_in_place();
  EXPECT_EQ(error_text([&] { s.add_cells(two_cells); }), Error::mesh_sealed().text());
}

TEST(SubMesh, WholeListsCountLikeCellsOrAreHandedOver) {
  Handle<Coords> c = coords_with(5);
  {
    const SubMesh s = SubMesh::from_cells(ElementType::TRI3, c, {0, 1, 2, 2, 3, 0});
    EXPECT_EQ(s.cell_count(), 2u);
    EXPECT_FALSE(s.is_sealed());
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{2, 1, 2, 1, 0}));
  }
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0, 0, 0}));
  EXPECT_EQ(error_text([&] { SubMesh::from_cells(ElementType::TRI3, c, {0, 1, 2, 3}); }),
            "from_cells(TRI3): 4 node ids are not whole cells of 3 nodes");
  for (NodeId id = 0; id < 4; ++id) store::write(c)->incref(id);
  store::write(c)->gc();  // node 4, the only one without a holder
  EXPECT_EQ(error_text([&] { SubMesh::from_cells(ElementType::SEG2, c, {0, 1, 3, 4}); }),
            "node 4 not found or collected");
  EXPECT_EQ(error_text([&] { SubMesh::from_cells_taking(ElementType::SEG2, c, {0, 1, 3, 4}); }),
            "from_cells_taking: node 4 is not alive");
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 1, 1, 0}));
  // Handed over: the counts are the caller's, given back when the submesh goes.
  store::write(c)->incref(1);
  {
    const SubMesh s = SubMesh::from_cells_taking(ElementType::SEG2, c, {1, 1});
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 2, 1, 1, 0}));
  }
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 0, 1, 1, 0}));
}

TEST(SubMesh, SealedRefusesCellsBeforeCountingAndDuplicateIsEditable) {
  Handle<Coords> c = coords_with(3);
  SubMesh s(ElementType::SEG2, c);
  const NodeId seg[] = {0, 1};
  s.add_cell(seg);
  Handle<SubMesh> h = store::insert(std::move(s));
  Handle<SubMesh> kept = SubMesh::seal(h);
  EXPECT_EQ(kept, h);
  EXPECT_EQ(Store<SubMesh>::instance().use_count(h), 2u);
  const NodeId wrong[] = {0};
  EXPECT_EQ(error_text([&] { store::write(h)->add_cell(wrong); }),
            Error::mesh_sealed().text());  // sealed comes before the count
  store::write(h)->set_face_color({1, 2, 3});
  SubMesh copy = store::read(h)->duplicate();
  EXPECT_FALSE(copy.is_sealed());
  EXPECT_EQ(copy.face_color(), (RgbColor{1, 2, 3}));
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{2, 2, 0}));
  EXPECT_EQ(copy.add_cell(seg), 1u);
}

TEST(SubMesh, NodeCloudIsCachedOnlyOnceSealed) {
  Handle<Coords> c = coords_with(4);
  SubMesh s(ElementType::TRI3, c);
  const NodeId a[] = {2, 0, 1}, b[] = {1, 3, 2};
  s.add_cell(a);
  s.add_cell(b);
  Handle<SubMesh> h = store::insert(std::move(s));
  Handle<SubMesh> first = store::read(h)->node_cloud();
  Handle<SubMesh> second = store::read(h)->node_cloud();
  EXPECT_FALSE(first == second);
  {
    store::ReadGuard<SubMesh> cloud = store::read(first);
    EXPECT_TRUE(cloud->is_sealed());
    EXPECT_EQ(cloud->element_type(), ElementType::POI1);
    EXPECT_EQ(std::vector<NodeId>(cloud->connectivity().begin(), cloud->connectivity().end()),
              (std::vector<NodeId>{2, 0, 1, 3}));
  }
  SubMesh::seal(h);
  Handle<SubMesh> third = store::read(h)->node_cloud();
  EXPECT_EQ(third, store::read(h)->node_cloud());
  const NodeIndexMap& map = store::read(h)->node_index_map();
  EXPECT_EQ(map.at(2), 0u);
  EXPECT_EQ(map.at(3), 3u);
  EXPECT_EQ(&map, &store::read(h)->node_index_map());
}

TEST(SubMesh, Poi1FromIdsKeepsRepeatsAndFailsWhole) {
  Handle<Coords> c = coords_with(3);
  const NodeId ids[] = {1, 1, 2};
  SubMesh p = SubMesh::poi1_from_ids(c, ids);
  EXPECT_EQ(p.cell_count(), 3u);
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 2, 1}));
  const NodeId bad[] = {0, 9};
  EXPECT_EQ(error_text([&] { SubMesh::poi1_from_ids(c, bad); }), "node 9 not found or collected");
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 2, 1}));
  EXPECT_EQ(SubMesh::poi1_from_ids(c, {}).cell_count(), 0u);
  EXPECT_EQ(error_text([&] { SubMesh::poi1_from_nodes({}); }), "SubMesh::poi1_from_nodes: nodes must not be empty");
}

TEST(Mesh, UnionsKeepLeftOrderAndRefuseAnotherCoords) {
  Handle<Coords> c = coords_with(2), other = coords_with(2);
  Handle<SubMesh> a = store::insert(SubMesh(ElementType::POI1, c));
  Handle<SubMesh> b = store::insert(SubMesh(ElementType::SEG2, c));
  Handle<SubMesh> x = store::insert(SubMesh(ElementType::POI1, other));
  Mesh m;
  m.push_sub(a);
  m.push_sub(b);
  m.push_sub(a);  // add_sub repeats
  EXPECT_EQ(m.size(), 3u);
  const Mesh u = Mesh::union_(m, m);
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u.subs()[0], a);
  EXPECT_EQ(u.subs()[1], b);
  EXPECT_EQ(Mesh::union_(Mesh(), m).size(), 2u);
  EXPECT_EQ(m.union_sub(b).size(), 2u);
  EXPECT_EQ(Mesh::union_(a, a).size(), 1u);
  EXPECT_EQ(error_text([&] { Mesh::union_(a, x); }), "mismatched Coords");
  EXPECT_EQ(error_text([&] { m.push_sub(x); }), "mismatched Coords");
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(error_text([&] { Mesh().coords(); }), "coords: mesh has no submeshes");
  EXPECT_EQ(error_text([&] { m.sub_at(3); }), "index 3 out of bounds (len=3)");
}

TEST(Mesh, NodeQueriesAndOrNode) {
  Handle<Coords> c = coords_with(4);
  SubMesh s(ElementType::SEG2, c);
  const NodeId a[] = {0, 1}, b[] = {1, 3};
  s.add_cell(a);
  s.add_cell(b);
  Mesh m = Mesh::from_submesh(std::move(s));
  EXPECT_EQ(m.node(0, 1, 1).id(), 3u);
  EXPECT_EQ(error_text([&] { m.node(0, 0, 2); }), "node: node index 2 ≥ nodes_per_cell 2");
  EXPECT_EQ(error_text([&] { m.node(0, 2, 0); }), "node: cell index 2 ≥ cell_count 2");
  // Node 2 is closer but no cell names it; 1 and 3 tie at 1.0 from x = 2: the smaller wins.
  const double p[] = {2.0, 0.0};
  EXPECT_EQ(m.nearest_node(p).id(), 1u);
  const double p3[] = {2.0, 0.0, 0.0};
  EXPECT_EQ(error_text([&] { m.nearest_node(p3); }), "nearest_node: point has 3 coordinates, mesh is 2-D");
  EXPECT_EQ(error_text([&] { m.or_node(Node::acquire(c, 2)); }), "Mesh | Node: expected a unitary POI1 mesh");
  Mesh points = Mesh::from_submesh(SubMesh::poi1_from_ids(c, std::vector<NodeId>{0}));
  Mesh more = points.or_node(Node::acquire(c, 0));
  EXPECT_EQ(more.cell_count(), 2u);
  EXPECT_EQ(points.cell_count(), 1u);
  EXPECT_EQ(error_text([&] { points.or_node(Node::acquire(coords_with(1), 0)); }), "mismatched Coords");
  EXPECT_EQ(error_text([&] { Mesh::union_(m, points).or_node(Node::acquire(c, 0)); }),
            "expected a unitary Mesh (exactly one submesh(es)), found 2");
}

TEST(Cell, ViewsStayValidAndShowTheirNodes) {
  Handle<Coords> c = coords_with(3);
  Handle<SubMesh> h = store::insert(SubMesh(ElementType::TRI3, c));
  EXPECT_EQ(error_text([&] { Cell(h, 0); }), "cell index 0 out of range (cell_count=0)");
  const NodeId a[] = {0, 1, 2};
  store::write(h)->add_cell(a);
  Cell cell(h, 0);
  store::write(h)->add_cell(a);
  EXPECT_EQ(cell.node_ids(), (std::vector<NodeId>{0, 1, 2}));
  EXPECT_EQ(cell.display_text(), "Cell<TRI3> #0: [0, 1, 2]");
  EXPECT_EQ(cell.dump_text({}),
            "Cell<TRI3> #0\n"
            "node      x      y\n"
            "   0  0.000  0.000\n"
            "   1  1.000  0.000\n"
            "   2  2.000  0.000\n");
  EXPECT_EQ(cell.nodes().size(), 3u);
  EXPECT_EQ(refcount(c, 0), 2u);  // the Nodes made above are gone again
}

TEST(SubMeshRecord, EmptyPoi1IsTheDocumentedBytes) {
  // A fresh store slot for Coords cannot be guaranteed to be (0, 1) here, so the
  // record is built around a decoded handle of that value.
  const std::vector<std::uint8_t> bytes = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                                           0, 0, 0, 0, 0xB4, 0xC8, 0xE6, 0};
  quenlith::store::detail::OwnershipNeutralScope neutral;  // the handle read owns nothing here
  RecordReader r(bytes);
  SubMesh s = SubMesh::decode(r);
  EXPECT_EQ(s.element_type(), ElementType::POI1);
  EXPECT_EQ(s.coords().idx(), 0u);
  EXPECT_EQ(s.coords().gen(), 1u);
  EXPECT_EQ(s.face_color(), RgbColor{});
  RecordWriter w;
  s.encode(w);
  EXPECT_EQ(w.bytes(), bytes);
}

struct BadRecord {
  const char* name;
  std::vector<std::uint8_t> bytes;
  const char* message;
};

class SubMeshBadRecord : public ::testing::TestWithParam<BadRecord> {};

TEST_P(SubMeshBadRecord, IsRefused) {
  quenlith::store::detail::OwnershipNeutralScope neutral;
  RecordReader r(GetParam().bytes);
  EXPECT_EQ(error_text([&] { SubMesh::decode(r); }), std::string("serialization error: ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Decode, SubMeshBadRecord,
    ::testing::Values(
        BadRecord{"type15", {15, 0, 0, 0}, "invalid value: integer `15`, expected variant index 0 <= i < 15"},
        BadRecord{"sealed2", {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 2},
                  "invalid u8 while decoding bool, expected 0 or 1, found 2"},
        BadRecord{"cut", {2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0},
                  "io error: unexpected end of file"},
        // A SEG2 record of three ids: a cell and a half.
        BadRecord{"partial_cell",
                  {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,
                   0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 2, 3, 0},
                  "SubMesh record: connectivity length 3 is not a multiple of 2"}),
    [](const auto& info) { return std::string(info.param.name); });

using SubMeshSwap = quenlith::testing::SwapDirTest;

TEST_F(SubMeshSwap, SwappedOutAndReadBackIsUnchanged) {
  Handle<Coords> c = coords_with(4);
  SubMesh s(ElementType::QUA4, c);
  const NodeId q[] = {0, 1, 3, 2};
  s.add_cell(q);
  s.add_cell(q);
  s.set_face_color({10, 20, 30});
  Handle<SubMesh> h = store::insert(std::move(s));
  Handle<SubMesh> sealed = SubMesh::seal(h);
  const std::string before = store::read(h)->debug_text();
  const std::string dump_before = store::read(h)->dump_text({});
  Handle<SubMesh> cloud = store::read(h)->node_cloud();
  const std::uint32_t cloud_count = Store<SubMesh>::instance().use_count(cloud);  // ours + the cache

  Store<SubMesh>::instance().swap_out(h);
  EXPECT_EQ(Store<SubMesh>::instance().residency(h), ResidencyKind::SwappedOut);
  // The written-out submesh no longer holds its cloud; the counts of the cells stay.
  EXPECT_EQ(Store<SubMesh>::instance().use_count(cloud), cloud_count - 1);
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{2 + 1, 2 + 1, 2 + 1, 2 + 1}));

  EXPECT_EQ(store::read(h)->debug_text(), before);
  EXPECT_EQ(store::read(h)->dump_text({}), dump_before);
  EXPECT_EQ(Store<SubMesh>::instance().residency(h), ResidencyKind::Resident);
  EXPECT_TRUE(store::read(h)->is_sealed());
  const NodeId more[] = {0, 1, 2, 3};
  EXPECT_EQ(error_text([&] { store::write(h)->add_cell(more); }), Error::mesh_sealed().text());

  // Out again, then every handle dropped while out: the record gives its
  // references back.
  Store<SubMesh>::instance().swap_out(h);
  cloud = Handle<SubMesh>();
  h = Handle<SubMesh>();
  sealed = Handle<SubMesh>();
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0, 0}));
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(SubMeshSwap, UndecodableRecordGivesNothingBack) {
  Handle<Coords> c = coords_with(3);
  SubMesh s(ElementType::TRI3, c);
  const NodeId t[] = {0, 1, 2};
  s.add_cell(t);
  Handle<SubMesh> h = store::insert(std::move(s));
  Store<SubMesh>::instance().swap_out(h);
  const std::string path = *Store<SubMesh>::instance().swap_path(h);
  fs::resize_file(path, 20);  // cut inside the connectivity
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(error_text([&] { (void)store::read(h); }), "serialization error: io error: unexpected end of file");
    EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 1}));
    EXPECT_TRUE(fs::exists(path));
  }
  // The last handle of an object whose record cannot be decoded: its units stay
  // counted (nothing can say which to give back), and nothing is reported.
  h = Handle<SubMesh>();
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 1}));
}

TEST_F(SubMeshSwap, SwappedOutSubmeshOnASwappedOutCoordsGivesItsReferencesBack) {
  Handle<Coords> c = coords_with(4);
  SubMesh s(ElementType::SEG2, c);
  const NodeId a[] = {0, 3}, b[] = {3, 3};
  s.add_cell(a);
  s.add_cell(b);
  Handle<SubMesh> h = store::insert(std::move(s));
  Store<SubMesh>::instance().swap_out(h);
  Store<Coords>::instance().swap_out(c);
  h = Handle<SubMesh>();  // decodes the record, reads the Coords back, gives back 4 references
  EXPECT_EQ(Store<Coords>::instance().residency(c), ResidencyKind::Resident);
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0, 0}));
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(SubMeshSwap, WrittenOutDuplicateOfASealedSubmeshKeepsItsOwnCounts) {
  Handle<Coords> c = coords_with(3);
  SubMesh s(ElementType::TRI3, c);
  const NodeId t[] = {0, 1, 2};
  s.add_cell(t);
  Handle<SubMesh> h = store::insert(std::move(s));
  SubMesh::seal(h);
  Handle<SubMesh> copy = store::insert(store::read(h)->duplicate());
  Store<SubMesh>::instance().swap_out(h);
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{2, 2, 2}));
  EXPECT_FALSE(store::read(copy)->is_sealed());
  EXPECT_TRUE(store::read(h)->is_sealed());  // read back
  h = Handle<SubMesh>();
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{1, 1, 1}));
  copy = Handle<SubMesh>();
  EXPECT_EQ(counts(c), (std::vector<std::uint32_t>{0, 0, 0}));
}

// Threads add cells to their own submeshes of one Coords, duplicate them, ask a
// shared sealed submesh for its node cloud and drop everything again: every count
// goes back to where it was, and all threads see one cloud.
TEST(SubMeshConcurrency, CellsCloudsAndDropsOnOneCoords) {
  constexpr std::uint32_t kNodes = 64;
  constexpr int kThreads = 8;
  Handle<Coords> c = coords_with(kNodes);
  SubMesh shared_value(ElementType::SEG2, c);
  for (NodeId i = 0; i + 1 < kNodes; ++i) {
    const NodeId seg[] = {i, NodeId(i + 1)};
    shared_value.add_cell(seg);
  }
  Handle<SubMesh> shared = store::insert(std::move(shared_value));
  SubMesh::seal(shared);
  const std::vector<std::uint32_t> before = counts(c);
  std::vector<Handle<SubMesh>> clouds(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      Handle<SubMesh> own = store::insert(SubMesh(ElementType::TRI3, c));
      for (std::uint32_t i = 0; i < 500; ++i) {
        const NodeId tri[] = {NodeId((i + t) % kNodes), NodeId((i * 7 + 1) % kNodes), NodeId((i * 13 + t) % kNodes)};
        store::write(own)->add_cell(tri);
        if (i % 100 == 0) {
          Handle<SubMesh> dup = store::insert(store::read(own)->duplicate());
          store::write(dup)->add_cell(tri);
        }  // the duplicate goes here
      }
      clouds[t] = store::read(shared)->node_cloud();
    });
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(clouds[t], clouds[0]);
  clouds.clear();
  // Each thread's own submesh went with its thread; the cached cloud still holds
  // one reference per node.
  std::vector<std::uint32_t> expected = before;
  for (auto& n : expected) n += 1;
  EXPECT_EQ(counts(c), expected);
  shared = Handle<SubMesh>();
  EXPECT_EQ(counts(c), std::vector<std::uint32_t>(kNodes, 0));
}

TEST_F(SubMeshSwap, UnreadableItemFallsBackInEveryText) {
  Handle<Coords> c = coords_with(3);
  std::vector<Handle<SubMesh>> subs;
  for (ElementType t : {ElementType::POI1, ElementType::SEG2, ElementType::POI1}) {
    SubMesh s(t, c);
    const NodeId ids[] = {0, 1};
    s.add_cell(std::span<const NodeId>(ids, nodes_per_cell(t)));
    subs.push_back(store::insert(std::move(s)));
  }
  const Mesh mesh(subs);
  const Cell cell(subs[1], 0);
  Store<SubMesh>::instance().swap_out(subs[1]);
  fs::remove(*Store<SubMesh>::instance().swap_path(subs[1]));
  const std::string io = error_text([&] { (void)store::read(subs[1]); });
  ASSERT_EQ(io.rfind("I/O error: ", 0), 0u) << io;

  EXPECT_EQ(mesh.display_text(), "Mesh: 3 submesh(es), 0 cell(s) total");
  EXPECT_EQ(mesh.debug_text(), "Mesh { count: 3, items: [" + store::read(subs[0])->debug_text() + ", " +
                                   subs[1].debug_text() + ", " + store::read(subs[2])->debug_text() + "] }");
  EXPECT_EQ(mesh.dump_text({}),
            "Mesh: 3 submesh(es), 0 cell(s) total\n"
            "\u2500\u2500 [0] \u2500\u2500\n"
            "  SubMesh<POI1>: 1 cell(s)\n"
            "  cell  n0\n"
            "     0   0\n"
            "\u2500\u2500 [1] \u2500\u2500\n"
            "  <" + io + ">\n"
            "\u2500\u2500 [2] \u2500\u2500\n"
            "  SubMesh<POI1>: 1 cell(s)\n"
            "  cell  n0\n"
            "     0   0\n");
  EXPECT_EQ(cell.display_text(), "Cell #0");
  EXPECT_EQ(cell.dump_text({}), "Cell #0\n<" + io + ">");
}

}  // namespace
