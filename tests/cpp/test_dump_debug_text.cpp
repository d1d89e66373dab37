// Debug-text punctuation and the container dump frame.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/error.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"

namespace {

using namespace quenlith::dump;
using quenlith::Error;

TEST(DumpDebugText, QuotedTextEscapes) {
  EXPECT_EQ(debug_quoted("default"), "\"default\"");
  EXPECT_EQ(debug_quoted(""), "\"\"");
  EXPECT_EQ(debug_quoted("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(debug_quoted("a\\b"), "\"a\\\\b\"");
  EXPECT_EQ(debug_quoted("l1\nl2\r\tx"), "\"l1\\nl2\\r\\tx\"");
  EXPECT_EQ(debug_quoted(std::string("\0\x1b\x7f", 3)), "\"\\u{0}\\u{1b}\\u{7f}\"");
  EXPECT_EQ(debug_quoted("σ_xx 'ok'"), "\"σ_xx 'ok'\"");  // UTF-8 and single quotes as they are
}

TEST(DumpDebugText, Lists) {
  const std::vector<std::string> names = {"ux", "u\"y"};
  EXPECT_EQ(debug_quoted_list(names), "[\"ux\", \"u\\\"y\"]");
  EXPECT_EQ(debug_quoted_list({}), "[]");
  EXPECT_EQ(debug_list(names), "[ux, u\"y]");
  EXPECT_EQ(debug_list({}), "[]");
  const double coord[] = {0.5, 1.0, -0.0, 1e-5};
  EXPECT_EQ(debug_number_list(coord), "[0.5, 1.0, -0.0, 1e-5]");
  const std::vector<unsigned> ids = {0, 1, 2};
  EXPECT_EQ(debug_list_of(ids, [](unsigned id) { return std::to_string(id); }), "[0, 1, 2]");
  EXPECT_EQ(debug_list_of(std::vector<int>{}, [](int) { return std::string("x"); }), "[]");
  EXPECT_EQ(join(names, ", "), "ux, u\"y");
  EXPECT_EQ(join({}, ", "), "");
  EXPECT_EQ(debug_flag(true), "true");
  EXPECT_EQ(debug_flag(false), "false");
}

TEST(DumpDebugText, RecordsOfTheTextForms) {
  EXPECT_EQ(DebugRecord("Cell").field("idx", "3").finish(), "Cell { idx: 3 }");
  const std::vector<std::string> configs = {"default"};
  EXPECT_EQ(DebugRecord("Coords")
                .field("dim", "2")
                .field("configs", debug_quoted_list(configs))
                .field("active", "0")
                .field("node_count", "4")
                .field("capacity", "4")
                .field("permutation", debug_flag(false))
                .finish(),
            "Coords { dim: 2, configs: [\"default\"], active: 0, node_count: 4, capacity: 4, permutation: false }");
  const double coord[] = {0.5, 1.0};
  EXPECT_EQ(DebugRecord("Node")
                .field("id", "NodeId(7)")
                .field("handle", "Handle<quenlith::containers::mesh::coords::Coords>{ idx: 0, gen: 1 }")
                .field("coord", debug_number_list(coord))
                .finish(),
            "Node { id: NodeId(7), handle: Handle<quenlith::containers::mesh::coords::Coords>{ idx: 0, gen: 1 }, "
            "coord: [0.5, 1.0] }");
  EXPECT_EQ(DebugRecord("SubEvolution")
                .field("samples", "3")
                .field("kind", debug_quoted("scalar"))
                .field("out_of_range", debug_quoted("clamp"))
                .finish(),
            "SubEvolution { samples: 3, kind: \"scalar\", out_of_range: \"clamp\" }");
  EXPECT_EQ(DebugRecord("SubMatrix").field("factor", debug_number(1.0)).finish(), "SubMatrix { factor: 1.0 }");
  EXPECT_EQ(DebugRecord("Empty").finish(), "Empty");
}

TEST(DumpDebugText, ContainerRecord) {
  EXPECT_EQ(debug_container("Mesh", {}), "Mesh { count: 0, items: [] }");
  const std::vector<std::string> items = {"SubModel { kind: \"Dirichlet\", physics: [Constraint] }",
                                          "Handle<quenlith::containers::model::SubModel>{ idx: 4, gen: 2 }"};
  EXPECT_EQ(debug_container("Model", items),
            "Model { count: 2, items: [SubModel { kind: \"Dirichlet\", physics: [Constraint] }, "
            "Handle<quenlith::containers::model::SubModel>{ idx: 4, gen: 2 }] }");
}

// ---------------------------------------------------------------- container dump frame

TEST(DumpContainerFrame, FailingItemDoesNotStopTheOthers) {
  const std::vector<std::string> texts = {"SubMesh<SEG2>: 1 cell(s)\ncell  n0  n1\n   0   0   1\n", "",
                                          "SubMesh<POI1>: 0 cell(s)\ncell  n0\n"};
  const std::string out = dump_container("Mesh: 3 submesh(es), 1 cell(s) total", 3, [&](std::size_t i) {
    if (i == 1) throw Error::stale_handle();
    return texts[i];
  });
  EXPECT_EQ(out,
            "Mesh: 3 submesh(es), 1 cell(s) total\n"
            "── [0] ──\n"
            "  SubMesh<SEG2>: 1 cell(s)\n"
            "  cell  n0  n1\n"
            "     0   0   1\n"
            "── [1] ──\n"
            "  <stale handle (slot freed or generation mismatch)>\n"
            "── [2] ──\n"
            "  SubMesh<POI1>: 0 cell(s)\n"
            "  cell  n0\n");
}

TEST(DumpContainerFrame, EmptyContainerIsItsDisplayLine) {
  int calls = 0;
  EXPECT_EQ(dump_container("NodeField: 0 subfield(s)", 0,
                           [&](std::size_t) {
                             ++calls;
                             return std::string();
                           }),
            "NodeField: 0 subfield(s)\n");
  EXPECT_EQ(calls, 0);
}

TEST(DumpContainerFrame, LinesAreSplitAndIndented) {
  const auto section = [](std::string_view text) {
    std::string out;
    append_dump_section(out, 7, text);
    return out;
  };
  EXPECT_EQ(section("a\nb"), "── [7] ──\n  a\n  b\n");      // last line without line feed counts
  EXPECT_EQ(section("a\nb\n"), "── [7] ──\n  a\n  b\n");    // final line feed starts no line
  EXPECT_EQ(section("a\r\nb\r\n"), "── [7] ──\n  a\n  b\n");  // CR before LF goes with it
  EXPECT_EQ(section("a\rb"), "── [7] ──\n  a\rb\n");         // a lone CR is text
  EXPECT_EQ(section("a\n\nb"), "── [7] ──\n  a\n  \n  b\n");  // empty line: two spaces
  EXPECT_EQ(section("\n"), "── [7] ──\n  \n");
  EXPECT_EQ(section(""), "── [7] ──\n");
}

TEST(DumpContainerFrame, ErrorsOtherThanStoreErrorsPropagate) {
  EXPECT_THROW((void)dump_container("X: 1", 1, [](std::size_t) -> std::string { throw std::bad_alloc(); }),
               std::bad_alloc);
  EXPECT_EQ(dump_error_item(Error::message("boom")), "<boom>");
  EXPECT_EQ(dump_error_item(Error::io("gone")), "<I/O error: gone>");
}

}  // namespace
