// The gmsh reader's internals: the strict number and white-space rules, the node
// permutations, and the geometry of the cells read from files written by gmsh.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "containers/finite_element_space/interpolation.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/io/gmsh/catalogue.hpp"
#include "ops/io/gmsh/lexical.hpp"
#include "ops/io/gmsh/reader.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::ops::io::gmsh;
using quenlith::containers::finite_element_space::dshape_dxi;
using quenlith::containers::finite_element_space::Interpolation;
using quenlith::containers::finite_element_space::shape;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::NodeId;
using quenlith::containers::mesh::SubMesh;
namespace store = quenlith::store;

struct IntCase {
  const char* token;
  std::optional<std::uint64_t> u64;
  std::optional<std::int64_t> i64;
};

TEST(GmshLexical, IntegersAcceptOnlyTheStrictDecimalForms) {
  const IntCase cases[] = {
      {"0", 0, 0},
      {"+7", 7, 7},
      {"-7", std::nullopt, -7},
      {"18446744073709551615", 18446744073709551615ull, std::nullopt},
      {"18446744073709551616", std::nullopt, std::nullopt},
      {"9223372036854775807", 9223372036854775807ull, 9223372036854775807ll},
      {"-9223372036854775808", std::nullopt, std::numeric_limits<std::int64_t>::min()},
      {"-9223372036854775809", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"+-1", std::nullopt, std::nullopt},
      {"1.0", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
  };
  for (const IntCase& c : cases) {
    EXPECT_EQ(parse_u64(c.token), c.u64) << c.token;
    EXPECT_EQ(parse_i64(c.token), c.i64) << c.token;
  }
}

TEST(GmshLexical, RealsFollowTheDecimalLiteralGrammar) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, double> accepted[] = {
      {"1", 1},      {"-2.5", -2.5},   {".5", 0.5},    {"1.", 1},         {"+1e3", 1000}, {"1E-3", 1e-3},
      {"inf", inf},  {"-Infinity", -inf}, {"1e400", inf}, {"-1e400", -inf}, {"0.1e-400", 0}, {"4.9e-324", 4.9e-324},
      {"1000000000000000000000000e-24", 1},
  };
  for (const auto& [token, value] : accepted) {
    const auto v = parse_f64(token);
    ASSERT_TRUE(v) << token;
    EXPECT_EQ(*v, value) << token;
  }
  EXPECT_TRUE(std::signbit(*parse_f64("-1e-400")));
  EXPECT_TRUE(std::isnan(*parse_f64("NaN")));
  for (const char* token : {"", ".", "-", "e5", "1e", "1e+", "1,5", "nan(1)", "0x1p3", "1.5.2", "infinit", "--1", "1 "})
    EXPECT_FALSE(parse_f64(token)) << token;
}

TEST(GmshLexical, UnicodeWhiteSpaceSplitsAndTrimsButAsciiTrimKeepsVerticalTab) {
  // U+00A0, U+2003, U+3000 and vertical tab are white space; U+200B is not.
  TokenCursor cursor("\xC2\xA0" "a\xE2\x80\x83" "b\x0B" "c\xE2\x80\x8B" "d\xE3\x80\x80");
  std::vector<std::string> tokens;
  while (const auto t = cursor.next()) tokens.emplace_back(*t);
  EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "c\xE2\x80\x8B" "d"}));
  EXPECT_EQ(trim_unicode("\xE2\x80\xA8 x \xC2\x85"), "x");
  EXPECT_EQ(trim_ascii("\x0B x\r\n"), "\x0B x");
  EXPECT_TRUE(is_utf8("plain ascii text, long enough to take the fast path \xC3\xA9"));
  EXPECT_FALSE(is_utf8("0123456789abcdef\xC3"));
  EXPECT_FALSE(is_utf8("\xED\xA0\x80"));  // a surrogate
}

TEST(GmshCatalogue, PermutationsPutGmshNodesInOurOrder) {
  auto permuted = [](ElementType t, std::size_t n) {
    std::vector<NodeId> ids(n), out(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<NodeId>(i);
    gmsh_permute_nodes(ids, gmsh_permutation(t), out);
    return out;
  };
  EXPECT_EQ(permuted(ElementType::TET10, 10), (std::vector<NodeId>{0, 1, 2, 3, 4, 5, 6, 7, 9, 8}));
  const auto hex20 = permuted(ElementType::HEX20, 20);
  const auto hex27 = permuted(ElementType::HEX27, 27);
  EXPECT_EQ(std::vector<NodeId>(hex27.begin(), hex27.begin() + 20), hex20);
  EXPECT_EQ(std::vector<NodeId>(hex27.begin() + 20, hex27.end()), (std::vector<NodeId>{22, 23, 21, 24, 20, 25, 26}));
  EXPECT_TRUE(gmsh_permutation(ElementType::QUA9).empty());
  // A list of another length is left as it is.
  EXPECT_EQ(permuted(ElementType::TET10, 4), (std::vector<NodeId>{0, 1, 2, 3}));
}

// The linear type whose vertices a type's first nodes are.
ElementType vertex_type(ElementType t) {
  switch (t) {
    case ElementType::SEG3: return ElementType::SEG2;
    case ElementType::TRI6: return ElementType::TRI3;
    case ElementType::QUA8:
    case ElementType::QUA9: return ElementType::QUA4;
    case ElementType::TET10: return ElementType::TET4;
    case ElementType::PENTA15: return ElementType::PENTA6;
    case ElementType::HEX20:
    case ElementType::HEX27: return ElementType::HEX8;
    default: return t;
  }
}

class GmshFixtureGeometry : public ::testing::TestWithParam<const char*> {};

// Every cell of these files has straight edges and flat faces (up to the last digits
// gmsh writes), so each node sits where
// the linear map of the cell's vertices takes its reference position (mid-edge nodes
// at edge midpoints, face and centre nodes at centroids), and every solid has a
// positive Jacobian at every node in our node order.
TEST_P(GmshFixtureGeometry, NodesAtReferencePositionsSolidsPositive) {
  const std::string path = std::string(QUENLITH_TEST_DATA_DIR) + "/gmsh/" + GetParam();
  const store::Handle<Coords> coords = store::insert(Coords(3));
  const GmshGroups groups = read_gmsh_file(coords, path);
  ASSERT_FALSE(groups.empty());
  std::size_t checked = 0;
  for (const auto& [name, mesh] : groups) {
    for (const auto& sub : mesh.subs()) {
      store::ReadGuard<SubMesh> s = store::read(sub);
      const ElementType t = s->element_type();
      if (t == ElementType::POI1) continue;
      const ElementType v = vertex_type(t);
      const std::size_t n = quenlith::containers::mesh::nodes_per_cell(t);
      const std::size_t nv = quenlith::containers::mesh::nodes_per_cell(v);
      const std::size_t d = quenlith::containers::mesh::ref_dim(t);
      const auto ref = quenlith::containers::mesh::reference_nodes(t);
      store::ReadGuard<Coords> c = store::read(coords);
      for (std::uint64_t cell = 0; cell < s->cell_count(); ++cell) {
        const auto ids = s->cell(cell);
        for (std::size_t i = 0; i < n; ++i) {
          const std::span<const double> xi = ref.subspan(i * d, d);
          const auto weights = shape(Interpolation::LAGRANGE1, v, xi);
          const auto x = c->coord(ids[i]);
          for (std::size_t k = 0; k < 3; ++k) {
            double expected = 0;
            for (std::size_t j = 0; j < nv; ++j) expected += weights[j] * c->coord(ids[j])[k];
            EXPECT_NEAR(x[k], expected, 1e-9) << name << " " << quenlith::containers::mesh::name(t) << " cell " << cell
                                               << " node " << i;
          }
          if (d == 3) {
            const auto grad = dshape_dxi(quenlith::testing::interpolation_of(t), t, xi);
            Eigen::Matrix3d jac = Eigen::Matrix3d::Zero();
            for (std::size_t j = 0; j < n; ++j) {
              const auto xj = c->coord(ids[j]);
              for (std::size_t a = 0; a < 3; ++a)
                for (std::size_t b = 0; b < 3; ++b) jac(a, b) += xj[a] * grad[3 * j + b];
            }
            EXPECT_GT(jac.determinant(), 0) << name << " cell " << cell << " node " << i;
          }
        }
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(Gmsh, GmshFixtureGeometry,
                         ::testing::Values("box_41_bin.msh", "box_o2_41_ascii.msh", "box_o2_22_bin.msh",
                                           "hex_box_41_ascii.msh", "hex_box_o2_41_ascii.msh",
                                           "hex_box_o2_22_bin.msh", "hex_box_o2i_41_bin.msh", "prism_41_ascii.msh",
                                           "prism_o2i_41_ascii.msh", "prism_o2i_22_ascii.msh"));

}  // namespace

namespace {

const char* const kSmallFile =
    "$MeshFormat\n2.2 0 8\n$EndMeshFormat\n$Nodes\n3\n1 0 0 0\n2 1 0 0\n3 0 1 0\n$EndNodes\n"
    "$Elements\n1\n1 2 0 1 2 3\n$EndElements\n";

// The Coords is looked at only once the input has parsed: a parse error wins over a
// Coords that no longer exists, which in turn fails before any node is made.
TEST(GmshReader, AStaleCoordsFailsAfterParsingAndTheHandleIsReleasedOnEveryPath) {
  const store::Handle<Coords> stale;  // names nothing: resolving it is a stale handle
  EXPECT_EQ(quenlith::testing::error_text([&] { read_gmsh_bytes(stale, "$MeshFormat\n2.2 0 8\n"); }),
            "gmsh: missing $Nodes");
  EXPECT_EQ(quenlith::testing::error_text([&] { read_gmsh_bytes(stale, kSmallFile); }),
            quenlith::Error::stale_handle().text());

  const store::Handle<Coords> live = store::insert(Coords(2));
  const auto before = store::Store<Coords>::instance().use_count(live);
  EXPECT_EQ(read_gmsh_bytes(live, kSmallFile).size(), 1u);
  EXPECT_EQ(quenlith::testing::error_text([&] { read_gmsh_bytes(live, "$MeshFormat\n4.1 2 8\n"); }),
            "gmsh: unsupported file-type 2 (0 = ASCII, 1 = binary)");
  // The returned meshes were dropped with their submeshes: only our handle is left.
  EXPECT_EQ(store::Store<Coords>::instance().use_count(live), before);
}

}  // namespace
