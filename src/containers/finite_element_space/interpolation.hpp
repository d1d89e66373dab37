#pragma once
// Lagrange interpolations and their shape functions.
//
// `LAGRANGE1` fits exactly SEG2, TRI3, QUA4, TET4, PENTA6, HEX8; `LAGRANGE2` exactly
// SEG3, TRI6, QUA8, TET10, PENTA15, HEX20, QUA9, HEX27 (serendipity QUA8, HEX20 and
// PENTA15 included). POI1 fits neither.
//
// Shape functions are plain polynomials on the reference cells of the element
// catalogue, evaluated at any point (also outside the cell, which inverse mappings
// rely on). Layouts: values, n = nodes_per_cell doubles, value i for node i;
// derivatives, n x d doubles row per node, entry i * d + k = dN_i / dxi_k (d the
// reference dimension; the prism's zeta runs over [0, 1]).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "containers/mesh/element_type.hpp"

namespace quenlith::containers::finite_element_space {

enum class Interpolation : std::uint8_t { LAGRANGE1 = 0, LAGRANGE2 = 1 };

// "LAGRANGE1" or "LAGRANGE2".
std::string_view name(Interpolation i);

// "LAGRANGE1"/"LAG1", "LAGRANGE2"/"LAG2", ASCII letters in any case, nothing trimmed.
std::optional<Interpolation> interpolation_from_name(std::string_view text);

// The compatibility rule of the catalogue.
bool fits(Interpolation i, mesh::ElementType t);

// Shape-function values at `xi` (ref_dim(t) values). Throws Error (Message):
// "interpolation {} is not defined for {}" when `i` does not fit `t` (checked first),
// then "xi has length {}, expected {} for {}".
std::vector<double> shape(Interpolation i, mesh::ElementType t, std::span<const double> xi);

// Reference derivatives at `xi`, n x d row per node; same checks and errors as shape.
std::vector<double> dshape_dxi(Interpolation i, mesh::ElementType t, std::span<const double> xi);

}  // namespace quenlith::containers::finite_element_space

template <>
struct fmt::formatter<quenlith::containers::finite_element_space::Interpolation> {
  // The text form is the bare name whatever width or fill the format asks for.
  constexpr auto parse(format_parse_context& ctx) {
    auto it = ctx.begin();
    while (it != ctx.end() && *it != '}') ++it;
    return it;
  }
  template <class Ctx>
  auto format(quenlith::containers::finite_element_space::Interpolation i, Ctx& ctx) const {
    const std::string_view n = quenlith::containers::finite_element_space::name(i);
    return std::copy(n.begin(), n.end(), ctx.out());
  }
};
