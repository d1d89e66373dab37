#include "containers/finite_element_space/quadrature.hpp"

#include <string>

#include "base/error.hpp"

namespace quenlith::containers::finite_element_space {

using mesh::ElementType;

namespace {

// Gauss-Legendre abscissas and weights on [-1, 1].
constexpr double g2 = 0.5773502691896258;  // 1/sqrt(3)
constexpr double g3 = 0.7745966692414834;  // sqrt(3/5)
constexpr double w3_minus = 0.5555555555555556;
constexpr double w3_zero = 0.8888888888888888;
constexpr double w3_plus = 0.5555555555555556;
// The same rules mapped to [0, 1], for the prism's zeta.
constexpr double z2_lo = 0.21132486540518708;
constexpr double z2_hi = 0.7886751345948129;
constexpr double z3_lo = 0.1127016653792583;
constexpr double z3_mid = 0.5;
constexpr double z3_hi = 0.8872983346207417;

constexpr double kG3Points[3] = {-g3, 0.0, g3};
constexpr double kG3Weights[3] = {w3_minus, w3_zero, w3_plus};

QuadraturePoints reduced(ElementType t) {
  switch (t) {
    case ElementType::SEG2:
    case ElementType::SEG3: return {{0.0}, {2.0}};
    case ElementType::TRI3:
    case ElementType::TRI6: return {{0.3333333333333333, 0.3333333333333333}, {0.5}};
    case ElementType::QUA4:
    case ElementType::QUA8:
    case ElementType::QUA9: return {{0.0, 0.0}, {4.0}};
    case ElementType::TET4:
    case ElementType::TET10: return {{0.25, 0.25, 0.25}, {0.16666666666666666}};
    case ElementType::PENTA6:
    case ElementType::PENTA15: return {{0.3333333333333333, 0.3333333333333333, 0.5}, {0.5}};
    case ElementType::HEX8:
    case ElementType::HEX20:
    case ElementType::HEX27: return {{0.0, 0.0, 0.0}, {8.0}};
    case ElementType::POI1: break;
  }
  throw Error::message("quadrature {} is not defined for {}", QuadratureRule::REDUCED, t);
}

QuadraturePoints quad_3x3() {
  // Stored literals, not products of the 1-D weights; the corner one is not the
  // double nearest to 25/81 and is kept as it is.
  constexpr double corner = 0.308641975308642;
  constexpr double edge = 0.49382716049382713;
  constexpr double centre = 0.7901234567901234;
  QuadraturePoints q;
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      q.points.push_back(kG3Points[i]);
      q.points.push_back(kG3Points[j]);
      const int n_mid = (i == 1) + (j == 1);
      q.weights.push_back(n_mid == 0 ? corner : n_mid == 1 ? edge : centre);
    }
  return q;
}

QuadraturePoints hex_3x3x3() {
  QuadraturePoints q;
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 3; ++i) {
        q.points.insert(q.points.end(), {kG3Points[i], kG3Points[j], kG3Points[k]});
        // This multiplication order is part of the rule: others differ in the last bit.
        q.weights.push_back((kG3Weights[j] * kG3Weights[i]) * kG3Weights[k]);
      }
  return q;
}

QuadraturePoints gauss(ElementType t) {
  switch (t) {
    case ElementType::SEG2: return {{-g2, g2}, {1.0, 1.0}};
    case ElementType::SEG3: return {{-g3, 0.0, g3}, {w3_minus, w3_zero, w3_plus}};
    case ElementType::TRI3: {
      constexpr double w = 0.16666666666666666;
      return {{0.5, 0.0, 0.5, 0.5, 0.0, 0.5}, {w, w, w}};
    }
    case ElementType::TRI6: return triangle_six_point_rule();
    case ElementType::QUA4:
      // Counter-clockwise like the QUA4 vertices, not in tensor order.
      return {{-g2, -g2, g2, -g2, g2, g2, -g2, g2}, {1.0, 1.0, 1.0, 1.0}};
    case ElementType::QUA8:
    case ElementType::QUA9: return quad_3x3();
    case ElementType::TET4: {
      constexpr double a = 0.1381966011250105;
      constexpr double b = 0.5854101966249685;
      constexpr double w = 0.041666666666666664;
      return {{a, a, a, b, a, a, a, b, a, a, a, b}, {w, w, w, w}};
    }
    case ElementType::TET10: {
      constexpr double c = 0.07142857142857142;
      constexpr double d = 0.7857142857142857;
      constexpr double p = 0.399403576166799;
      constexpr double q = 0.100596423833201;
      constexpr double w0 = -0.013155555555555556;
      constexpr double w1 = 0.007622222222222222;
      constexpr double w2 = 0.024888888888888887;
      return {{0.25, 0.25, 0.25, c, c, c, d, c, c, c, d, c, c, c, d,
               p, q, q, q, p, q, q, q, p, p, p, q, p, q, p, q, p, p},
              {w0, w1, w1, w1, w1, w2, w2, w2, w2, w2, w2}};
    }
    case ElementType::PENTA6: {
      constexpr double w = 0.08333333333333333;
      QuadraturePoints q;
      const double tri[3][2] = {{0.5, 0.0}, {0.5, 0.5}, {0.0, 0.5}};
      for (const auto& p : tri)
        for (double z : {z2_lo, z2_hi}) {
          q.points.insert(q.points.end(), {p[0], p[1], z});
          q.weights.push_back(w);
        }
      return q;
    }
    case ElementType::PENTA15: {
      const QuadraturePoints tri = triangle_six_point_rule();
      const double z[3] = {z3_lo, z3_mid, z3_hi};
      QuadraturePoints q;
      for (std::size_t t6 = 0; t6 < tri.size(); ++t6)
        for (int k = 0; k < 3; ++k) {
          q.points.insert(q.points.end(), {tri.points[2 * t6], tri.points[2 * t6 + 1], z[k]});
          q.weights.push_back((tri.weights[t6] * 0.5) * kG3Weights[k]);
        }
      return q;
    }
    case ElementType::HEX8: {
      QuadraturePoints q;
      for (double zeta : {-g2, g2})
        for (double eta : {-g2, g2})
          for (double xi : {-g2, g2}) {
            q.points.insert(q.points.end(), {xi, eta, zeta});
            q.weights.push_back(1.0);
          }
      return q;
    }
    case ElementType::HEX20:
    case ElementType::HEX27: return hex_3x3x3();
    case ElementType::POI1: break;
  }
  throw Error::message("quadrature {} is not defined for {}", QuadratureRule::GAUSS, t);
}

}  // namespace

std::string_view name(QuadratureRule q) { return q == QuadratureRule::GAUSS ? "GAUSS" : "REDUCED"; }

std::optional<QuadratureRule> quadrature_rule_from_name(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper == "GAUSS") return QuadratureRule::GAUSS;
  if (upper == "REDUCED") return QuadratureRule::REDUCED;
  return std::nullopt;
}

QuadraturePoints triangle_six_point_rule() {
  constexpr double a = 0.445948490915965;
  constexpr double a1 = 0.10810301816807;  // 1 - 2a
  constexpr double b = 0.091576213509771;
  constexpr double b1 = 0.816847572980458;  // 1 - 2b
  constexpr double wa = 0.1116907948390055;
  constexpr double wb = 0.054975871827661;
  return {{a, a, a1, a, a, a1, b, b, b1, b, b, b1}, {wa, wa, wa, wb, wb, wb}};
}

QuadraturePoints quadrature(QuadratureRule q, ElementType t) {
  return q == QuadratureRule::GAUSS ? gauss(t) : reduced(t);
}

}  // namespace quenlith::containers::finite_element_space
