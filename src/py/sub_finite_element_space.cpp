// The Python class SubFiniteElementSpace: one handle on a stored subspace.
#include <cstdint>
#include <string_view>
#include <vector>

#include "containers/finite_element_space/element.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::finite_element_space::Element;
using containers::finite_element_space::SubFiniteElementSpace;
using SubSpaceHandle = store::Handle<SubFiniteElementSpace>;

namespace {

const Signature sub_doc_sig{
    "SubFiniteElementSpace", nullptr, Receiver::None, {},
    "One subspace of a `FiniteElementSpace` (the elements over one submesh with their interpolation and "
    "quadrature), from `fes[i]`; indexing it yields an `Element`."};
const Signature cell_count_sig{"cell_count", "SubFiniteElementSpace", Receiver::Self, {},
                               "Number of elements (cells) in this subspace."};
const Signature gauss_count_sig{"gauss_count", "SubFiniteElementSpace", Receiver::Self, {},
                                "Number of Gauss (quadrature) points per element."};
constexpr Param i_params[] = {{"i"}};
const Signature element_sig{"element", "SubFiniteElementSpace", Receiver::Self, i_params,
                            "Element view on the `i`-th cell of this subspace."};
const Signature elements_sig{"elements", "SubFiniteElementSpace", Receiver::Self, {}, "All elements as a Python list."};
constexpr Param g_params[] = {{"g"}};
const Signature gauss_xi_sig{"gauss_xi", "SubFiniteElementSpace", Receiver::Self, g_params,
                             "Reference coordinates of the `g`-th Gauss point."};
const Signature gauss_weight_sig{"gauss_weight", "SubFiniteElementSpace", Receiver::Self, g_params,
                                 "Weight of the `g`-th Gauss point."};
const Signature n_at_g_sig{"n_at_g", "SubFiniteElementSpace", Receiver::Self, g_params,
                           "`N_i(ξ_g)` at the `g`-th Gauss point (flat, length `nodes_per_cell`)."};
const Signature dn_at_g_sig{"dn_at_g", "SubFiniteElementSpace", Receiver::Self, g_params,
                            "`∂N_i/∂ξ_j(ξ_g)` at the `g`-th Gauss point.\n\nFlat row-major: index "
                            "`[i * ref_dim + j]`."};
constexpr Param cell_g_params[] = {{"cell_idx"}, {"g"}};
const Signature jacobian_sig{"jacobian", "SubFiniteElementSpace", Receiver::Self, cell_g_params,
                             "Jacobian `J = ∂x/∂ξ` of cell `cell_idx` at Gauss point `g`.\n\n"
                             "Flat row-major buffer of length `space_dim × ref_dim`,\nindexed `[a * ref_dim + k]`."};
const Signature det_jacobian_sig{"det_jacobian", "SubFiniteElementSpace", Receiver::Self, cell_g_params,
                                 "`|J|` — `|det(J)|` if `space_dim == ref_dim`, else\n`sqrt(det(JᵀJ))`. Always "
                                 "non-negative."};
const Signature dn_dx_sig{"dn_dx", "SubFiniteElementSpace", Receiver::Self, cell_g_params,
                          "Physical derivatives `∂N_i/∂x_a` of cell `cell_idx` at Gauss\npoint `g`. Flat row-major "
                          "buffer of length\n`nodes_per_cell × space_dim`, indexed `[i * space_dim + a]`."};
const Signature element_type_sig{"element_type", "SubFiniteElementSpace", Receiver::Self, {},
                                 "Element type name (e.g. `\"TRI3\"`)."};
const Signature interpolation_sig{"interpolation", "SubFiniteElementSpace", Receiver::Self, {},
                                  "Interpolation name (e.g. `\"LAGRANGE1\"`)."};
const Signature quadrature_sig{"quadrature", "SubFiniteElementSpace", Receiver::Self, {},
                               "Quadrature-rule name (e.g. `\"GAUSS\"`)."};
const Signature ref_dim_sig{"ref_dim", "SubFiniteElementSpace", Receiver::Self, {},
                            "Reference (parametric) dimension of the elements."};
const Signature space_dim_sig{"space_dim", "SubFiniteElementSpace", Receiver::Self, {},
                              "Spatial dimension the elements live in."};
const Signature nodes_per_cell_sig{"nodes_per_cell", "SubFiniteElementSpace", Receiver::Self, {},
                                   "Number of nodes per element."};

std::uint64_t cell_count(const SubFiniteElementSpace& s) { return s.cell_count(); }

Element element(const SubSpaceHandle& handle, std::uint64_t i) { return Element::create(handle, i); }

std::vector<Element> elements(const SubSpaceHandle& handle) {
  // The submesh is sealed: every index below the count stays valid.
  return Element::first_n(handle, read_value(handle, cell_count));
}

Element item(const SubSpaceHandle& handle, std::int64_t idx) {
  const std::uint64_t n = read_value(handle, cell_count);
  return Element::create(handle, checked_position(idx, n, "subspace element"));
}

std::vector<double> dn_at_g(const SubFiniteElementSpace& s, std::uint64_t g) {
  const auto row = s.dn_at_g(g);
  return {row.begin(), row.end()};
}

std::string_view element_type(const SubFiniteElementSpace& s) { return containers::mesh::name(s.element_type()); }
std::string_view interpolation(const SubFiniteElementSpace& s) { return name(s.interpolation()); }
std::string_view quadrature(const SubFiniteElementSpace& s) { return name(s.quadrature()); }

TypeDef sub_type_def() {
  using C = SubFiniteElementSpaceClass;
  using K = Class<C>;
  static PyMethodDef methods[] = {
      method<C, cell_count_sig, cell_count>(),
      method<C, gauss_count_sig, &SubFiniteElementSpace::gauss_count>(),
      method<C, element_sig, element, to_u64>(),
      method<C, elements_sig, elements>(),
      method<C, gauss_xi_sig, &SubFiniteElementSpace::gauss_xi, to_u64>(),
      method<C, gauss_weight_sig, &SubFiniteElementSpace::gauss_weight, to_u64>(),
      method<C, n_at_g_sig, &SubFiniteElementSpace::n_at_g, to_u64>(),
      method<C, dn_at_g_sig, dn_at_g, to_u64>(),
      method<C, jacobian_sig, &SubFiniteElementSpace::jacobian, to_u64, to_u64>(),
      method<C, det_jacobian_sig, &SubFiniteElementSpace::det_jacobian, to_u64, to_u64>(),
      method<C, dn_dx_sig, &SubFiniteElementSpace::dn_dx, to_u64, to_u64>(),
      K::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {
      getter<C, element_type_sig, element_type>(),
      getter<C, interpolation_sig, interpolation>(),
      getter<C, quadrature_sig, quadrature>(),
      getter<C, ref_dim_sig, &SubFiniteElementSpace::ref_dim>(),
      getter<C, space_dim_sig, &SubFiniteElementSpace::space_dim>(),
      getter<C, nodes_per_cell_sig, &SubFiniteElementSpace::nodes_per_cell>(),
      kGetSetEnd,
  };
  return K::def("_quenlith.SubFiniteElementSpace", sub_doc_sig, methods, getset,
                {K::length<cell_count>(), K::items<item>(),
                 Container<FiniteElementSpaceClass>::sub_or_slot()});
}

}  // namespace

TypeCache SubFiniteElementSpaceClass::type{&sub_type_def};

}  // namespace quenlith::py
