#include "containers/finite_element_space/interpolation.hpp"

#include <cassert>
#include <string>

#include "base/error.hpp"

namespace quenlith::containers::finite_element_space {

using mesh::ElementType;

namespace {

// Barycentric gradients on the triangle, (d/dxi, d/deta) of lambda0, lambda1, lambda2.
constexpr double kTriGrad[3][2] = {{-1, -1}, {1, 0}, {0, 1}};
// On the tetrahedron, (d/dxi, d/deta, d/dzeta) of lambda0 ... lambda3.
constexpr double kTetGrad[4][3] = {{-1, -1, -1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
// Vertex pairs of the quadratic simplex edge nodes, in node order.
constexpr int kTriEdges[3][2] = {{0, 1}, {1, 2}, {2, 0}};
constexpr int kTetEdges[6][2] = {{0, 1}, {1, 2}, {2, 0}, {0, 3}, {1, 3}, {2, 3}};

// The 1-D quadratic Lagrange factors for the positions -1, 0, +1 and their derivatives.
struct Lagrange1d {
  double l[3];
  double dl[3];
  explicit Lagrange1d(double s)
      : l{s * (s - 1.0) / 2.0, 1.0 - s * s, s * (s + 1.0) / 2.0}, dl{s - 0.5, -2.0 * s, s + 0.5} {}
};

// Each family fills `n` (values, may be null) and `dn` (derivatives, may be null).

void seg2(const double* x, double* n, double* dn) {
  if (n) {
    n[0] = (1.0 - x[0]) / 2.0;
    n[1] = (1.0 + x[0]) / 2.0;
  }
  if (dn) {
    dn[0] = -0.5;
    dn[1] = 0.5;
  }
}

void tri3(const double* x, double* n, double* dn) {
  if (n) {
    n[0] = 1.0 - x[0] - x[1];
    n[1] = x[0];
    n[2] = x[1];
  }
  if (dn)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 2; ++k) dn[j * 2 + k] = kTriGrad[j][k];
}

void tet4(const double* x, double* n, double* dn) {
  if (n) {
    n[0] = 1.0 - x[0] - x[1] - x[2];
    n[1] = x[0];
    n[2] = x[1];
    n[3] = x[2];
  }
  if (dn)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 3; ++k) dn[j * 3 + k] = kTetGrad[j][k];
}

void qua4(const double* x, double* n, double* dn) {
  const auto ref = mesh::reference_nodes(ElementType::QUA4);
  for (int i = 0; i < 4; ++i) {
    const double xi = ref[2 * i], eta = ref[2 * i + 1];
    const double a = 1.0 + xi * x[0], b = 1.0 + eta * x[1];
    if (n) n[i] = a * b / 4.0;
    if (dn) {
      dn[2 * i] = xi * b / 4.0;
      dn[2 * i + 1] = a * eta / 4.0;
    }
  }
}

void hex8(const double* x, double* n, double* dn) {
  const auto ref = mesh::reference_nodes(ElementType::HEX8);
  for (int i = 0; i < 8; ++i) {
    const double xi = ref[3 * i], eta = ref[3 * i + 1], zeta = ref[3 * i + 2];
    const double a = 1.0 + xi * x[0], b = 1.0 + eta * x[1], c = 1.0 + zeta * x[2];
    if (n) n[i] = a * b * c / 8.0;
    if (dn) {
      dn[3 * i] = xi * b * c / 8.0;
      dn[3 * i + 1] = a * eta * c / 8.0;
      dn[3 * i + 2] = a * b * zeta / 8.0;
    }
  }
}

void penta6(const double* x, double* n, double* dn) {
  const double lam[3] = {1.0 - x[0] - x[1], x[0], x[1]};
  const double z = x[2];
  for (int j = 0; j < 3; ++j) {
    if (n) {
      n[j] = lam[j] * (1.0 - z);
      n[3 + j] = lam[j] * z;
    }
    if (dn) {
      for (int k = 0; k < 2; ++k) {
        dn[3 * j + k] = kTriGrad[j][k] * (1.0 - z);
        dn[3 * (3 + j) + k] = kTriGrad[j][k] * z;
      }
      dn[3 * j + 2] = -lam[j];
      dn[3 * (3 + j) + 2] = lam[j];
    }
  }
}

void seg3(const double* x, double* n, double* dn) {
  const double s = x[0];
  if (n) {
    n[0] = s * (s - 1.0) / 2.0;
    n[1] = s * (s + 1.0) / 2.0;
    n[2] = 1.0 - s * s;
  }
  if (dn) {
    dn[0] = s - 0.5;
    dn[1] = s + 0.5;
    dn[2] = -2.0 * s;
  }
}

// TRI6 and TET10: vertex j gives lambda_j (2 lambda_j - 1), edge (a, b) gives 4 lambda_a lambda_b.
template <int V, int E, int D>
void simplex2(const double (&grad)[V][D], const int (&edges)[E][2], const double* lam, double* n, double* dn) {
  for (int j = 0; j < V; ++j) {
    if (n) n[j] = lam[j] * (2.0 * lam[j] - 1.0);
    if (dn)
      for (int k = 0; k < D; ++k) dn[D * j + k] = (4.0 * lam[j] - 1.0) * grad[j][k];
  }
  for (int e = 0; e < E; ++e) {
    const int a = edges[e][0], b = edges[e][1];
    if (n) n[V + e] = 4.0 * lam[a] * lam[b];
    if (dn)
      for (int k = 0; k < D; ++k) dn[D * (V + e) + k] = 4.0 * (grad[a][k] * lam[b] + lam[a] * grad[b][k]);
  }
}

void tri6(const double* x, double* n, double* dn) {
  const double lam[3] = {1.0 - x[0] - x[1], x[0], x[1]};
  simplex2(kTriGrad, kTriEdges, lam, n, dn);
}

void tet10(const double* x, double* n, double* dn) {
  const double lam[4] = {1.0 - x[0] - x[1] - x[2], x[0], x[1], x[2]};
  simplex2(kTetGrad, kTetEdges, lam, n, dn);
}

void qua8(const double* x, double* n, double* dn) {
  const auto ref = mesh::reference_nodes(ElementType::QUA8);
  const double s = x[0], t = x[1];
  for (int i = 0; i < 8; ++i) {
    const double xi = ref[2 * i], eta = ref[2 * i + 1];
    double* d = dn ? dn + 2 * i : nullptr;
    if (xi != 0.0 && eta != 0.0) {
      const double a = 1.0 + xi * s, b = 1.0 + eta * t;
      if (n) n[i] = a * b * (xi * s + eta * t - 1.0) / 4.0;
      if (d) {
        d[0] = xi * b * (2.0 * xi * s + eta * t) / 4.0;
        d[1] = eta * a * (xi * s + 2.0 * eta * t) / 4.0;
      }
    } else if (xi == 0.0) {
      const double b = 1.0 + eta * t;
      if (n) n[i] = (1.0 - s * s) * b / 2.0;
      if (d) {
        d[0] = -s * b;
        d[1] = (1.0 - s * s) * eta / 2.0;
      }
    } else {
      const double a = 1.0 + xi * s;
      if (n) n[i] = a * (1.0 - t * t) / 2.0;
      if (d) {
        d[0] = xi * (1.0 - t * t) / 2.0;
        d[1] = -t * a;
      }
    }
  }
}

void qua9(const double* x, double* n, double* dn) {
  const Lagrange1d fs(x[0]), ft(x[1]);
  const auto idx = mesh::qua9_index_table();
  for (int i = 0; i < 9; ++i) {
    const int a = idx[2 * i], b = idx[2 * i + 1];
    if (n) n[i] = fs.l[a] * ft.l[b];
    if (dn) {
      dn[2 * i] = fs.dl[a] * ft.l[b];
      dn[2 * i + 1] = fs.l[a] * ft.dl[b];
    }
  }
}

void hex27(const double* x, double* n, double* dn) {
  const Lagrange1d fs(x[0]), ft(x[1]), fu(x[2]);
  const auto idx = mesh::hex27_index_table();
  for (std::size_t i = 0; i < idx.size() / 3; ++i) {
    const int a = idx[3 * i], b = idx[3 * i + 1], c = idx[3 * i + 2];
    if (n) n[i] = fs.l[a] * ft.l[b] * fu.l[c];
    if (dn) {
      dn[3 * i] = fs.dl[a] * ft.l[b] * fu.l[c];
      dn[3 * i + 1] = fs.l[a] * ft.dl[b] * fu.l[c];
      dn[3 * i + 2] = fs.l[a] * ft.l[b] * fu.dl[c];
    }
  }
}

void hex20(const double* x, double* n, double* dn) {
  const auto ref = mesh::reference_nodes(ElementType::HEX20);
  const double s = x[0], t = x[1], u = x[2];
  for (int i = 0; i < 20; ++i) {
    const double xi = ref[3 * i], eta = ref[3 * i + 1], zeta = ref[3 * i + 2];
    const double a = 1.0 + xi * s, b = 1.0 + eta * t, c = 1.0 + zeta * u;
    double* d = dn ? dn + 3 * i : nullptr;
    if (xi != 0.0 && eta != 0.0 && zeta != 0.0) {
      if (n) n[i] = a * b * c * (xi * s + eta * t + zeta * u - 2.0) / 8.0;
      if (d) {
        d[0] = xi * b * c * (2.0 * xi * s + eta * t + zeta * u - 1.0) / 8.0;
        d[1] = eta * a * c * (xi * s + 2.0 * eta * t + zeta * u - 1.0) / 8.0;
        d[2] = zeta * a * b * (xi * s + eta * t + 2.0 * zeta * u - 1.0) / 8.0;
      }
    } else if (xi == 0.0) {
      if (n) n[i] = (1.0 - s * s) * b * c / 4.0;
      if (d) {
        d[0] = -2.0 * s * b * c / 4.0;
        d[1] = (1.0 - s * s) * eta * c / 4.0;
        d[2] = (1.0 - s * s) * b * zeta / 4.0;
      }
    } else if (eta == 0.0) {
      if (n) n[i] = a * (1.0 - t * t) * c / 4.0;
      if (d) {
        d[0] = xi * (1.0 - t * t) * c / 4.0;
        d[1] = a * (-2.0 * t) * c / 4.0;
        d[2] = a * (1.0 - t * t) * zeta / 4.0;
      }
    } else {
      if (n) n[i] = a * b * (1.0 - u * u) / 4.0;
      if (d) {
        d[0] = xi * b * (1.0 - u * u) / 4.0;
        d[1] = a * eta * (1.0 - u * u) / 4.0;
        d[2] = a * b * (-2.0 * u) / 4.0;
      }
    }
  }
}

void penta15(const double* x, double* n, double* dn) {
  const double lam[3] = {1.0 - x[0] - x[1], x[0], x[1]};
  const double z = x[2];
  auto grad = [&](int node, int j, double dlam, double dz) {
    // dN/dxi, dN/deta through lambda_j; dN/dzeta directly.
    if (!dn) return;
    dn[3 * node] = dlam * kTriGrad[j][0];
    dn[3 * node + 1] = dlam * kTriGrad[j][1];
    dn[3 * node + 2] = dz;
  };
  for (int j = 0; j < 3; ++j) {
    const double l = lam[j];
    if (n) {
      n[j] = l * (1.0 - z) * (2.0 * l - 1.0 - 2.0 * z);
      n[3 + j] = l * z * (2.0 * l + 2.0 * z - 3.0);
      n[12 + j] = 4.0 * l * z * (1.0 - z);
    }
    grad(j, j, (1.0 - z) * (4.0 * l - 1.0 - 2.0 * z), l * (4.0 * z - 2.0 * l - 1.0));
    grad(3 + j, j, z * (4.0 * l + 2.0 * z - 3.0), l * (2.0 * l + 4.0 * z - 3.0));
    grad(12 + j, j, 4.0 * z * (1.0 - z), 4.0 * l * (1.0 - 2.0 * z));
  }
  for (int e = 0; e < 3; ++e) {
    const int a = kTriEdges[e][0], b = kTriEdges[e][1];
    const double p = 4.0 * lam[a] * lam[b];
    if (n) {
      n[6 + e] = p * (1.0 - z);
      n[9 + e] = p * z;
    }
    if (dn)
      for (int k = 0; k < 2; ++k) {
        const double dp = 4.0 * (kTriGrad[a][k] * lam[b] + lam[a] * kTriGrad[b][k]);
        dn[3 * (6 + e) + k] = dp * (1.0 - z);
        dn[3 * (9 + e) + k] = dp * z;
      }
    if (dn) {
      dn[3 * (6 + e) + 2] = -p;
      dn[3 * (9 + e) + 2] = p;
    }
  }
}

using Family = void (*)(const double*, double*, double*);

Family family(ElementType t) {
  switch (t) {
    case ElementType::SEG2: return seg2;
    case ElementType::TRI3: return tri3;
    case ElementType::QUA4: return qua4;
    case ElementType::TET4: return tet4;
    case ElementType::PENTA6: return penta6;
    case ElementType::HEX8: return hex8;
    case ElementType::SEG3: return seg3;
    case ElementType::TRI6: return tri6;
    case ElementType::QUA8: return qua8;
    case ElementType::TET10: return tet10;
    case ElementType::PENTA15: return penta15;
    case ElementType::HEX20: return hex20;
    case ElementType::QUA9: return qua9;
    case ElementType::HEX27: return hex27;
    case ElementType::POI1: break;
  }
  return nullptr;
}

Family checked_family(Interpolation i, ElementType t, std::span<const double> xi) {
  QUENLITH_VERIFY(fits(i, t), "interpolation {} is not defined for {}", i, t);
  QUENLITH_VERIFY(xi.size() == mesh::ref_dim(t), "xi has length {}, expected {} for {}", xi.size(),
                  mesh::ref_dim(t), t);
  Family f = family(t);
  assert(f != nullptr);  // every fitting pair has a family
  return f;
}

}  // namespace

std::string_view name(Interpolation i) { return i == Interpolation::LAGRANGE1 ? "LAGRANGE1" : "LAGRANGE2"; }

std::optional<Interpolation> interpolation_from_name(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper == "LAGRANGE1" || upper == "LAG1") return Interpolation::LAGRANGE1;
  if (upper == "LAGRANGE2" || upper == "LAG2") return Interpolation::LAGRANGE2;
  return std::nullopt;
}

bool fits(Interpolation i, ElementType t) {
  const auto d = static_cast<unsigned>(t);
  return i == Interpolation::LAGRANGE1 ? (d >= 1 && d <= 6) : (d >= 7 && d <= 14);
}

std::vector<double> shape(Interpolation i, ElementType t, std::span<const double> xi) {
  Family f = checked_family(i, t, xi);
  std::vector<double> n(mesh::nodes_per_cell(t));
  f(xi.data(), n.data(), nullptr);
  return n;
}

std::vector<double> dshape_dxi(Interpolation i, ElementType t, std::span<const double> xi) {
  Family f = checked_family(i, t, xi);
  std::vector<double> dn(mesh::nodes_per_cell(t) * mesh::ref_dim(t));
  f(xi.data(), nullptr, dn.data());
  return dn;
}

}  // namespace quenlith::containers::finite_element_space
