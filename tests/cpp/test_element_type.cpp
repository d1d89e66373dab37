// The element-type catalogue: names, parsers, tables and node orders.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "containers/finite_element_space/interpolation.hpp"
#include "containers/finite_element_space/quadrature.hpp"
#include "containers/mesh/element_type.hpp"

namespace {

using namespace quenlith::containers::mesh;
namespace fes = quenlith::containers::finite_element_space;

TEST(ElementTypeCatalogue, TablesByDiscriminant) {
  const char* names[] = {"POI1", "SEG2", "TRI3",  "QUA4",    "TET4",  "PENTA6", "HEX8", "SEG3",
                         "TRI6", "QUA8", "TET10", "PENTA15", "HEX20", "QUA9",   "HEX27"};
  const std::uint64_t nodes[] = {1, 2, 3, 4, 4, 6, 8, 3, 6, 8, 10, 15, 20, 9, 27};
  const std::uint64_t dims[] = {0, 1, 2, 2, 3, 3, 3, 1, 2, 2, 3, 3, 3, 2, 3};
  ASSERT_EQ(all_element_types().size(), 15u);
  for (std::size_t d = 0; d < 15; ++d) {
    const ElementType t = all_element_types()[d];
    SCOPED_TRACE(names[d]);
    EXPECT_EQ(static_cast<std::size_t>(t), d);
    EXPECT_EQ(name(t), names[d]);
    EXPECT_EQ(nodes_per_cell(t), nodes[d]);
    EXPECT_EQ(ref_dim(t), dims[d]);
    EXPECT_EQ(reference_nodes(t).size(), t == ElementType::POI1 ? 0 : nodes[d] * dims[d]);
    EXPECT_EQ(element_type_from_name(names[d]), t);
  }
  EXPECT_EQ(sizeof(ElementType), 1u);
}

TEST(ElementTypeCatalogue, NameParsing) {
  EXPECT_EQ(element_type_from_name("hex27"), ElementType::HEX27);
  EXPECT_EQ(element_type_from_name("Tri3"), ElementType::TRI3);
  EXPECT_EQ(element_type_from_name("penta15"), ElementType::PENTA15);
  for (const char* bad : {"HEX 27", "HEX27\n", "", " TRI3", "TRI3 ", "TRI", "HEX8x", "qua4\t"})
    EXPECT_EQ(element_type_from_name(bad), std::nullopt) << '"' << bad << '"';
  // Only ASCII letters are folded: a non-ASCII byte stays as it is and matches nothing.
  EXPECT_EQ(element_type_from_name("TR\xC4\xB1" "3"), std::nullopt);

  EXPECT_EQ(fes::interpolation_from_name("Lag1"), fes::Interpolation::LAGRANGE1);
  EXPECT_EQ(fes::interpolation_from_name("lagrange1"), fes::Interpolation::LAGRANGE1);
  EXPECT_EQ(fes::interpolation_from_name("lag2"), fes::Interpolation::LAGRANGE2);
  EXPECT_EQ(fes::interpolation_from_name("LAGRANGE2"), fes::Interpolation::LAGRANGE2);
  for (const char* bad : {"LAGRANGE3", "P1", "LAGRANGE", "", " LAG1"})
    EXPECT_EQ(fes::interpolation_from_name(bad), std::nullopt) << bad;

  EXPECT_EQ(fes::quadrature_rule_from_name("reduced"), fes::QuadratureRule::REDUCED);
  EXPECT_EQ(fes::quadrature_rule_from_name("Gauss"), fes::QuadratureRule::GAUSS);
  for (const char* bad : {"GAUS", "", "GAUSS "}) EXPECT_EQ(fes::quadrature_rule_from_name(bad), std::nullopt);
}

TEST(ElementTypeCatalogue, TextFormsIgnoreFormatSpec) {
  EXPECT_EQ(fmt::format("{:>8}|{:<12}|{}", ElementType::TRI3, ElementType::PENTA15, ElementType::HEX27),
            "TRI3|PENTA15|HEX27");
  EXPECT_EQ(fmt::format("interpolation {} not compatible with element type {}", fes::Interpolation::LAGRANGE1,
                        ElementType::TRI6),
            "interpolation LAGRANGE1 not compatible with element type TRI6");
  EXPECT_EQ(fmt::format("{:>10}{:^9}", fes::Interpolation::LAGRANGE2, fes::QuadratureRule::REDUCED),
            "LAGRANGE2REDUCED");
  EXPECT_EQ(fmt::format("{}", fes::QuadratureRule::GAUSS), "GAUSS");
}

TEST(ElementTypeCatalogue, CellsIn) {
  using Pair = std::pair<std::uint64_t, std::uint64_t>;
  EXPECT_EQ(cells_in(12, ElementType::TRI3), Pair(4, 0));
  EXPECT_EQ(cells_in(7, ElementType::QUA4), Pair(1, 3));
  EXPECT_EQ(cells_in(0, ElementType::HEX27), Pair(0, 0));
  EXPECT_EQ(cells_in(5, ElementType::POI1), Pair(5, 0));
}

TEST(ElementTypeCatalogue, Compatibility) {
  for (ElementType t : all_element_types()) {
    const auto d = static_cast<unsigned>(t);
    EXPECT_EQ(fes::fits(fes::Interpolation::LAGRANGE1, t), d >= 1 && d <= 6) << name(t);
    EXPECT_EQ(fes::fits(fes::Interpolation::LAGRANGE2, t), d >= 7) << name(t);
  }
}

// The tensor tables of QUA9 and HEX27 name the same positions as their coordinate
// tables; the quadratic types extend their linear vertices.
TEST(ElementTypeCatalogue, TablesAgree) {
  const double pos[3] = {-1.0, 0.0, 1.0};
  const auto q9 = reference_nodes(ElementType::QUA9);
  for (std::size_t i = 0; i < 9; ++i)
    for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(pos[qua9_index_table()[2 * i + k]], q9[2 * i + k]) << i;
  const auto h27 = reference_nodes(ElementType::HEX27);
  for (std::size_t i = 0; i < 27; ++i)
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(pos[hex27_index_table()[3 * i + k]], h27[3 * i + k]) << i;

  const std::pair<ElementType, ElementType> prefixes[] = {
      {ElementType::SEG2, ElementType::SEG3},   {ElementType::TRI3, ElementType::TRI6},
      {ElementType::QUA4, ElementType::QUA8},   {ElementType::QUA8, ElementType::QUA9},
      {ElementType::TET4, ElementType::TET10},  {ElementType::PENTA6, ElementType::PENTA15},
      {ElementType::HEX8, ElementType::HEX20},  {ElementType::HEX20, ElementType::HEX27}};
  for (auto [small, big] : prefixes) {
    const auto a = reference_nodes(small);
    const auto b = reference_nodes(big);
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i], b[i]) << name(small) << " in " << name(big);
  }
  // Every quadratic edge node is the midpoint of two vertices of its cell (spot checks).
  const auto t10 = reference_nodes(ElementType::TET10);
  EXPECT_EQ(t10[3 * 8 + 0], 0.5);  // node 8: edge 1-3 at (1/2, 0, 1/2)
  EXPECT_EQ(t10[3 * 8 + 2], 0.5);
  const auto p15 = reference_nodes(ElementType::PENTA15);
  EXPECT_EQ(p15[3 * 13 + 0], 1.0);  // node 13: vertical edge 1-4 at (1, 0, 1/2)
  EXPECT_EQ(p15[3 * 13 + 2], 0.5);
}

}  // namespace
