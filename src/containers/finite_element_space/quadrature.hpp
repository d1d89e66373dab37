#pragma once
// Quadrature rules: integration points and weights on the reference cells.
//
// `GAUSS` is the full rule of each type, `REDUCED` the one-point rule. The order of
// the points fixes the meaning of the Gauss-point index everywhere (element fields,
// space accessors, dumps). Constants are stored literals (some are not the doubles
// nearest to their closed forms, on purpose: results depend on them to the last bit).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "containers/mesh/element_type.hpp"

namespace quenlith::containers::finite_element_space {

enum class QuadratureRule : std::uint8_t { GAUSS = 0, REDUCED = 1 };

// "GAUSS" or "REDUCED".
std::string_view name(QuadratureRule q);

// "GAUSS", "REDUCED", ASCII letters in any case, nothing trimmed.
std::optional<QuadratureRule> quadrature_rule_from_name(std::string_view text);

// Points (n_g x d values, point-major, (xi, eta, zeta)) and weights (n_g values).
struct QuadraturePoints {
  std::vector<double> points;
  std::vector<double> weights;
  std::size_t size() const { return weights.size(); }
};

// The rule `q` on the reference cell of `t`. POI1 throws Error (Message)
// "quadrature {} is not defined for {}" (rule, then type); nothing else fails.
QuadraturePoints quadrature(QuadratureRule q, mesh::ElementType t);

// The 6-point triangle rule (12 point values, 6 weights summing to 0.4999999999999995).
QuadraturePoints triangle_six_point_rule();

}  // namespace quenlith::containers::finite_element_space

template <>
struct fmt::formatter<quenlith::containers::finite_element_space::QuadratureRule> {
  // The text form is the bare name whatever width or fill the format asks for.
  constexpr auto parse(format_parse_context& ctx) {
    auto it = ctx.begin();
    while (it != ctx.end() && *it != '}') ++it;
    return it;
  }
  template <class Ctx>
  auto format(quenlith::containers::finite_element_space::QuadratureRule q, Ctx& ctx) const {
    const std::string_view n = quenlith::containers::finite_element_space::name(q);
    return std::copy(n.begin(), n.end(), ctx.out());
  }
};
