// The VTK writer's internals Python cannot reach yet: the point-data and cell-data
// paths that fields feed, array names, the grid's errors, thread independence, and
// the whole-file replacement underneath.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/io/vtk.hpp"
#include "parallel/pool.hpp"
#include "store/file_write.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace quenlith::containers::mesh;
using namespace quenlith::ops::io;
using quenlith::store::Handle;
namespace store = quenlith::store;
using quenlith::testing::error_text;

constexpr std::string_view kHeader = "# vtk DataFile Version 3.0\n";

// A temporary directory, removed with everything in it.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quenlith-vtk-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(path)) out.push_back(e.path().filename().string());
    return out;
  }
};

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A 2-D Coords with nodes (i, 10 i) for i < n, their first references dropped.
Handle<Coords> coords_with(std::uint32_t n) {
  Handle<Coords> h = store::insert(Coords(2));
  store::WriteGuard<Coords> g = store::write(h);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double xy[] = {double(i), 10.0 * i};
    g->decref(g->add_node(xy));
  }
  return h;
}

Mesh mesh_of(const Handle<Coords>& coords, ElementType type, const std::vector<std::vector<NodeId>>& cells) {
  SubMesh sub(type, coords);
  for (const auto& c : cells) sub.add_cell(c);
  return Mesh::from_submesh(std::move(sub));
}

TEST(VtkWriter, ArrayNamesReplaceUnicodeWhiteSpace) {
  const std::pair<std::string, std::string> cases[] = {
      {"von Mises", "von_Mises"},
      {"a\t b", "a__b"},
      {"\n\v\f\r", "____"},
      {"x\u00a0y\u0085z", "x_y_z"},            // two-byte spaces
      {"\u3000\u2028\u2029\u202f\u205f\u1680", "______"},
      {"\u2000\u200a", "__"},
      {"\u200b\u001c\u00e9\u4e2d", "\u200b\u001c\u00e9\u4e2d"},  // not white space: kept
      {std::string("a\xff b\xe3\x80", 6), std::string("a\xff_b\xe3\x80", 6)},  // broken UTF-8 kept
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(vtk_array_name(in), out) << in;
}

TEST(VtkWriter, PointDataFromPlainArrays) {
  TempDir dir;
  const Handle<Coords> coords = coords_with(5);
  const Mesh mesh = mesh_of(coords, ElementType::SEG2, {{4, 2}, {2, 0}});
  const std::string path = (dir.path / "p.vtk").string();
  std::vector<NodeId> seen;
  write_vtk_with_data(mesh, path, "quenlith node field", VtkDataLocation::Points, [&](const VtkGrid& grid) {
    seen.assign(grid.node_ids.begin(), grid.node_ids.end());
    return std::vector<VtkArray>{
        {"von Mises", {1.5, -0.0, std::numeric_limits<double>::quiet_NaN()}},
        {"u\t x", {1e-7, std::numeric_limits<double>::infinity(), 0}},
    };
  });
  EXPECT_EQ(seen, (std::vector<NodeId>{4, 2, 0}));
  EXPECT_EQ(read_file(path), std::string(kHeader) +
                                 "quenlith node field\nASCII\nDATASET UNSTRUCTURED_GRID\n"
                                 "POINTS 3 double\n4 40 0\n2 20 0\n0 0 0\n"
                                 "CELLS 2 6\n2 0 1\n2 1 2\nCELL_TYPES 2\n3\n3\n"
                                 "POINT_DATA 3\n"
                                 "SCALARS von_Mises double 1\nLOOKUP_TABLE default\n1.5\n-0\nNaN\n"
                                 "SCALARS u__x double 1\nLOOKUP_TABLE default\n0.0000001\ninf\n0\n");
}

TEST(VtkWriter, CellDataFromPlainArraysAcrossSubmeshes) {
  TempDir dir;
  const Handle<Coords> coords = coords_with(4);
  Mesh mesh = mesh_of(coords, ElementType::TRI3, {{0, 1, 2}});
  mesh.push_sub(mesh_of(coords, ElementType::POI1, {{3}, {1}}).sub_at(0));
  const std::string path = (dir.path / "c.vtk").string();
  write_vtk_with_data(mesh, path, "quenlith element field", VtkDataLocation::Cells, [&](const VtkGrid& grid) {
    EXPECT_EQ(grid.submesh_cells, (std::vector<std::uint64_t>{1, 2}));
    return std::vector<VtkArray>{{"sigma_xx", {0.25, 1e21, -3}}};
  });
  EXPECT_EQ(read_file(path), std::string(kHeader) +
                                 "quenlith element field\nASCII\nDATASET UNSTRUCTURED_GRID\n"
                                 "POINTS 4 double\n0 0 0\n1 10 0\n2 20 0\n3 30 0\n"
                                 "CELLS 3 8\n3 0 1 2\n1 3\n1 1\nCELL_TYPES 3\n5\n1\n1\n"
                                 "CELL_DATA 3\nSCALARS sigma_xx double 1\nLOOKUP_TABLE default\n0.25\n"
                                 "1000000000000000000000\n-3\n");
}

TEST(VtkWriter, DataErrorsWriteNothing) {
  TempDir dir;
  const Handle<Coords> coords = coords_with(3);
  const Mesh mesh = mesh_of(coords, ElementType::TRI3, {{0, 1, 2}});
  const std::string path = (dir.path / "d.vtk").string();
  EXPECT_EQ(error_text([&] {
              write_vtk_with_data(mesh, path, "t", VtkDataLocation::Points, [](const VtkGrid&) {
                return std::vector<VtkArray>{{"T", {1, 2}}};
              });
            }),
            "vtk: array T has 2 value(s) for 3 point(s)");
  EXPECT_EQ(error_text([&] {
              write_vtk_with_data(mesh, path, "t", VtkDataLocation::Cells, [](const VtkGrid&) -> std::vector<VtkArray> {
                throw quenlith::Error::message("vtk: component T is carried by two zones");
              });
            }),
            "vtk: component T is carried by two zones");
  EXPECT_TRUE(dir.names().empty());
}

TEST(VtkWriter, CollectedNodeStopsTheGrid) {
  // A cell that names a collected node (its reference taken away behind the
  // submesh's back) is refused at the first such node in cell order.
  const Handle<Coords> coords = coords_with(4);
  SubMesh sub(ElementType::SEG2, coords);
  {
    store::WriteGuard<Coords> g = store::write(coords);
    for (NodeId id : {0u, 1u, 2u, 3u}) g->incref(id);
  }
  const NodeId a[] = {0, 1}, b[] = {2, 3};
  sub.add_cell_taking(a);
  sub.add_cell_taking(b);
  {
    store::WriteGuard<Coords> g = store::write(coords);
    g->decref(2);
    g->decref(3);
    EXPECT_EQ(g->gc(), 2u);
  }
  const Mesh mesh = Mesh::from_submesh(std::move(sub));
  EXPECT_EQ(error_text([&] { (void)VtkGrid::from_mesh(mesh); }), "node 2 not found or collected");
}

TEST(VtkWriter, GridTextDoesNotDependOnThreads) {
  const std::uint32_t n = 5000;
  const Handle<Coords> coords = coords_with(n);
  std::vector<std::vector<NodeId>> cells;
  for (NodeId i = 0; i + 2 < n; ++i) cells.push_back({i, i + 1, i + 2});
  const VtkGrid grid = VtkGrid::from_mesh(mesh_of(coords, ElementType::TRI3, cells));
  std::string all, one;
  write_vtk_grid(all, grid, "t");
  {
    quenlith::parallel::ThreadLimit limit(1);
    write_vtk_grid(one, grid, "t");
  }
  EXPECT_EQ(all, one);
  EXPECT_NE(all.find("\n4999 49990 0\nCELLS 4998 19992\n3 0 1 2\n"), std::string::npos);
}

TEST(FileWrite, ReplaceFileSwapsWholeContent) {
  TempDir dir;
  const fs::path target = dir.path / "f.txt";
  const std::string first = "first", second = "second, longer";
  store::replace_file(target.string(), {reinterpret_cast<const std::uint8_t*>(first.data()), first.size()});
  store::replace_file(target.string(), {reinterpret_cast<const std::uint8_t*>(second.data()), second.size()});
  EXPECT_EQ(read_file(target), second);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"f.txt"});
  // Over a directory: refused, the directory kept, no temporary file left.
  fs::create_directory(dir.path / "sub");
  EXPECT_EQ(error_text([&] { store::replace_file((dir.path / "sub").string(), {}); }),
            "I/O error: Is a directory (os error 21)");
  EXPECT_EQ(error_text([&] { store::replace_file((dir.path / "none" / "x").string(), {}); }),
            "I/O error: No such file or directory (os error 2)");
  EXPECT_TRUE(fs::is_directory(dir.path / "sub"));
  EXPECT_EQ(dir.names().size(), 2u);
}

TEST(FileWrite, ExclusiveFileNeverOverwrites) {
  TempDir dir;
  const std::string path = (dir.path / "x").string();
  const std::uint8_t a[] = {1, 2, 3};
  EXPECT_TRUE(store::write_exclusive_file(path, a, 0600, true));
  EXPECT_FALSE(store::write_exclusive_file(path, {}, 0600, true));
  EXPECT_EQ(read_file(path), std::string("\x01\x02\x03"));
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
