// The Python class Element: a read-only view of one element of a subspace.
#include <cstdint>
#include <vector>

#include "containers/finite_element_space/element.hpp"
#include "containers/mesh/cell.hpp"
#include "containers/mesh/node.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::finite_element_space::Element;
using containers::mesh::Node;

namespace {

const Signature element_doc_sig{
    "Element", nullptr, Receiver::None, {},
    "A read-only view of one finite element (its geometry with the interpolation and quadrature of its space), "
    "from `fes[i][j]`."};
const Signature cell_sig{"cell", "Element", Receiver::Self, {}, "Underlying mesh cell view."};
const Signature nodes_sig{"nodes", "Element", Receiver::Self, {},
                          "Materialised nodes of this element (each refcounted on the\n"
                          "Coords) — symmetric with `Cell.nodes()`."};
constexpr Param g_params[] = {{"g"}};
const Signature gauss_xi_sig{"gauss_xi", "Element", Receiver::Self, g_params,
                             "Reference coordinates of the `g`-th Gauss point."};
const Signature gauss_weight_sig{"gauss_weight", "Element", Receiver::Self, g_params,
                                 "Weight of the `g`-th Gauss point."};
const Signature n_at_g_sig{"n_at_g", "Element", Receiver::Self, g_params,
                           "`N_i(ξ_g)` at the `g`-th Gauss point (length `nodes_per_cell`)."};
const Signature dn_at_g_sig{"dn_at_g", "Element", Receiver::Self, g_params,
                            "`∂N_i/∂ξ_j(ξ_g)` at the `g`-th Gauss point.\n\nFlat row-major: index "
                            "`[i * ref_dim + j]`."};
const Signature jacobian_sig{"jacobian", "Element", Receiver::Self, g_params,
                             "Jacobian `J = ∂x/∂ξ` at the `g`-th Gauss point."};
const Signature det_jacobian_sig{"det_jacobian", "Element", Receiver::Self, g_params,
                                 "`|J|` at the `g`-th Gauss point."};
const Signature dn_dx_sig{"dn_dx", "Element", Receiver::Self, g_params,
                          "Physical derivatives `∂N_i/∂x_a` at the `g`-th Gauss point."};
const Signature index_sig{"index", "Element", Receiver::Self, {}, "Index of this element within its subspace."};
const Signature nodes_per_cell_sig{"nodes_per_cell", "Element", Receiver::Self, {}, "Number of nodes of this element."};
const Signature space_dim_sig{"space_dim", "Element", Receiver::Self, {}, "Spatial dimension the element lives in."};
const Signature ref_dim_sig{"ref_dim", "Element", Receiver::Self, {},
                            "Reference (parametric) dimension of the element."};
const Signature gauss_count_sig{"gauss_count", "Element", Receiver::Self, {}, "Number of Gauss (quadrature) points."};

std::vector<Node> nodes(const Element& e) { return e.cell().nodes(); }

TypeDef element_type_def() {
  using C = ElementClass;
  static PyMethodDef methods[] = {
      method<C, cell_sig, &Element::cell>(),
      method<C, nodes_sig, nodes>(),
      method<C, gauss_xi_sig, &Element::gauss_xi, to_u64>(),
      method<C, gauss_weight_sig, &Element::gauss_weight, to_u64>(),
      method<C, n_at_g_sig, &Element::n_at_g, to_u64>(),
      method<C, dn_at_g_sig, &Element::dn_at_g, to_u64>(),
      method<C, jacobian_sig, &Element::jacobian, to_u64>(),
      method<C, det_jacobian_sig, &Element::det_jacobian, to_u64>(),
      method<C, dn_dx_sig, &Element::dn_dx, to_u64>(),
      Class<C>::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {
      getter<C, index_sig, &Element::index>(),
      getter<C, nodes_per_cell_sig, &Element::nodes_per_cell>(),
      getter<C, space_dim_sig, &Element::space_dim>(),
      getter<C, ref_dim_sig, &Element::ref_dim>(),
      getter<C, gauss_count_sig, &Element::gauss_count>(),
      kGetSetEnd,
  };
  return Class<C>::def("_quenlith.Element", element_doc_sig, methods, getset, {});
}

}  // namespace

TypeCache ElementClass::type{&element_type_def};

}  // namespace quenlith::py
