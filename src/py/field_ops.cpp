// Field operators that accept any of the four field flavours (NodeField,
// ElementField, SubNodeField, SubElementField) and answer with the same flavour or
// a number.
//
// Every argument is converted, and whatever is built from the other arguments (a
// value band) is built, before the field's flavour is looked at. A container is
// handed whole to its core operation, which guards its zones one at a time; a zone
// is read under its guard, and the new zone is stored once the guard is gone.
#include "py/field_ops.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "containers/field/algebra.hpp"
#include "containers/field/value_band.hpp"
#include "containers/field/consolidate.hpp"
#include "ops/field/coordinates.hpp"
#include "ops/field/integral.hpp"
#include "ops/field/mask.hpp"
#include "ops/field/restrict.hpp"
#include "ops/field/select.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"
#include "py/evolution_common.hpp"

namespace quenlith::py {

namespace f = containers::field;

namespace {

using Names = std::optional<std::vector<std::string>>;

template <class C>
constexpr bool kContainer = requires { typename C::SubClass; };

[[noreturn]] void not_a_field() {
  raise_type_error("expected a NodeField, SubNodeField, ElementField or SubElementField");
}

// A shared borrow of `obj` as class C, or nothing when it is not one or is held
// exclusively elsewhere.
template <class C>
std::optional<Borrowed<C>> try_borrow(PyObject* obj) {
  if (!is_instance<C>(obj)) return std::nullopt;
  try {
    return Borrowed<C>(obj);
  } catch (const ErrorAlreadySet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

// body(borrowed) for the first flavour `obj` belongs to, tried in the order
// NodeField, ElementField, SubNodeField, SubElementField.
template <class Body>
Ref on_field(PyObject* obj, Body&& body) {
  if (auto b = try_borrow<NodeFieldClass>(obj)) return body(*b);
  if (auto b = try_borrow<ElementFieldClass>(obj)) return body(*b);
  if (auto b = try_borrow<SubNodeFieldClass>(obj)) return body(*b);
  if (auto b = try_borrow<SubElementFieldClass>(obj)) return body(*b);
  not_a_field();
}

// A zone-to-zone operation on a guarded zone; the result stored once the guard is gone.
template <class C, class Op>
Ref zone_result(const Borrowed<C>& zone, Op&& op) {
  return to_python(store::insert(read_value(*zone, op)));
}

// body(x, y) with x of any flavour and y of the same class; TypeError
// "{op}: both operands must be {class}s" otherwise.
template <class Body>
Ref on_pair(const char* op, PyObject* x, PyObject* y, Body&& body) {
  return on_field(x, [&]<class C>(const Borrowed<C>& a) -> Ref {
    std::optional<Borrowed<C>> b = try_borrow<C>(y);
    if (!b) raise_type_error(fmt::format("{}: both operands must be {}s", op, C::kName));
    return body(a, *b);
  });
}

// body(zone_x, zone_y) under read guards, x's first (one guard when they are one zone).
template <class H, class Body>
auto read_pair(const H& x, const H& y, Body&& body) {
  auto gx = store::read(x);
  if (x == y) return body(std::as_const(*gx), std::as_const(*gx));
  auto gy = store::read(y);
  return body(std::as_const(*gx), std::as_const(*gy));
}

// ---------------------------------------------------------------------------
// Element-wise functions

double abs_value(double v) { return std::fabs(v); }
double sqrt_value(double v) { return std::sqrt(v); }
double exp_value(double v) { return std::exp(v); }
double log_value(double v) { return std::log(v); }
double log10_value(double v) { return std::log10(v); }
double cos_value(double v) { return std::cos(v); }
double sin_value(double v) { return std::sin(v); }
double tan_value(double v) { return std::tan(v); }
double sinh_value(double v) { return std::sinh(v); }
double cosh_value(double v) { return std::cosh(v); }
double tanh_value(double v) { return std::tanh(v); }

template <f::UnaryFn Fn>
Ref elementwise(PyObject* field) {
  return on_field(field, [&]<class C>(const Borrowed<C>& b) -> Ref {
    if constexpr (kContainer<C>)
      return to_python(f::map_values(*b, Fn));
    else
      return zone_result(b, [](const auto& z) { return f::map_values(z, Fn); });
  });
}

constexpr Param field_params[] = {{"field"}};

#define QUENLITH_ELEMENTWISE(NAME, DOC)                                                 \
  const Signature NAME##_sig{#NAME, nullptr, Receiver::None, field_params, DOC};        \
  Ref NAME##_body(PyObject* field) { return elementwise<&NAME##_value>(field); }

QUENLITH_ELEMENTWISE(abs, "Element-wise absolute value of a field.")
QUENLITH_ELEMENTWISE(sqrt, "Element-wise square root of a field (`nan` for negatives).")
QUENLITH_ELEMENTWISE(exp, "Element-wise exponential `eˣ` of a field.")
QUENLITH_ELEMENTWISE(log, "Element-wise natural logarithm of a field (`-inf`/`nan` for ≤ 0).")
QUENLITH_ELEMENTWISE(log10, "Element-wise base-10 logarithm of a field.")
QUENLITH_ELEMENTWISE(cos, "Element-wise cosine of a field (radians).")
QUENLITH_ELEMENTWISE(sin, "Element-wise sine of a field (radians).")
QUENLITH_ELEMENTWISE(tan, "Element-wise tangent of a field (radians).")
QUENLITH_ELEMENTWISE(sinh, "Element-wise hyperbolic sine of a field.")
QUENLITH_ELEMENTWISE(cosh, "Element-wise hyperbolic cosine of a field.")
QUENLITH_ELEMENTWISE(tanh, "Element-wise hyperbolic tangent of a field.")
#undef QUENLITH_ELEMENTWISE

// ---------------------------------------------------------------------------
// Scalar products

constexpr Param xtx_params[] = {{"x"}, {"components", "None"}};
constexpr Param xy_params[] = {{"x"}, {"y"}};

const Signature xtx_sig{
    "xtx", nullptr, Receiver::None, xtx_params,
    "Squared Euclidean norm of a field: the sum of the squares of every value of\n"
    "every zone, restricted to the listed components when `components` is given."};
const Signature xty_sig{
    "xty", nullptr, Receiver::None, xy_params,
    "Global scalar product of two whole fields of the same flavour on the same\n"
    "supports, components aligned by name; returns one float."};
const Signature psca_sig{
    "psca", nullptr, Receiver::None, xy_params,
    "Point-by-point scalar product of two fields of the same flavour: a new field of\n"
    "that flavour with the single component \"psca\", the support kept."};

Ref xtx(PyObject* x, const std::optional<std::vector<std::string>>& components) {
  return on_field(x, [&]<class C>(const Borrowed<C>& b) -> Ref {
    return to_python(read_value(*b, [&](const auto& v) {
      return components ? f::xtx_components(v, *components) : f::xtx(v);
    }));
  });
}

Ref xty(PyObject* x, PyObject* y) {
  return on_pair("xty", x, y, []<class C>(const Borrowed<C>& a, const Borrowed<C>& b) -> Ref {
    if constexpr (kContainer<C>)
      return to_python(f::xty(*a, *b));
    else
      return to_python(read_pair(*a, *b, [](const auto& za, const auto& zb) { return f::dot(za, zb); }));
  });
}

Ref psca(PyObject* x, PyObject* y) {
  return on_pair("psca", x, y, []<class C>(const Borrowed<C>& a, const Borrowed<C>& b) -> Ref {
    if constexpr (kContainer<C>)
      return to_python(f::psca(*a, *b));
    else
      return to_python(
          store::insert(read_pair(*a, *b, [](const auto& za, const auto& zb) { return f::psca(za, zb); })));
  });
}

// ---------------------------------------------------------------------------
// Masks

constexpr Param band_params[] = {{"field"}, {"ge", "None"}, {"gt", "None"},
                                 {"le", "None"}, {"lt", "None"}, {"components", "None"}};

const Signature mask_sig{
    "mask", nullptr, Receiver::None, band_params,
    "Per-component 0/1 mask of a field, of the same flavour and structure as the\n"
    "input: 1.0 where the value band holds and 0.0 where it does not, so that the\n"
    "product with the input keeps values component by component. The band follows\n"
    "the rules of `select` (`ge`/`gt` a lower bound, `le`/`lt` an upper one), but\n"
    "components are not combined. With `components`, a zone tests the listed names\n"
    "it carries (a zone carrying none of them is not tested); an untested component\n"
    "comes out all 1.0."};

const Signature select_sig{
    "select", nullptr, Receiver::None, band_params,
    "Extract the part of a field's support where its values lie in a band, zone by\n"
    "zone, as a new Mesh: for node fields a POI1 submesh of the passing nodes, for\n"
    "element fields a submesh of the passing cells of the zone's element type (a cell\n"
    "passes only when all its Gauss points do); one submesh per processed zone.\n"
    "Give at most one lower bound (`ge`/`gt`), at most one upper bound (`le`/`lt`)\n"
    "and at least one bound; the lower one must not exceed the upper one. The tested\n"
    "components of a point are combined with AND: `components=None` tests every\n"
    "component of each zone, a list only those, on the zones carrying all of them; a\n"
    "zone missing a listed component is skipped."};

// The operations of a band, per flavour: a container whole, a zone under its guard.
template <auto Node, auto Element, auto SubNode, auto SubElement>
struct BandOps {
  static auto container(const containers::node_field::NodeField& f, const f::ValueBand& band, const Names& c) {
    return Node(f, band, c);
  }
  static auto container(const containers::element_field::ElementField& f, const f::ValueBand& band,
                        const Names& c) {
    return Element(f, band, c);
  }
  static auto zone(const containers::node_field::SubNodeField& z, const f::ValueBand& band, const Names& c) {
    return SubNode(z, band, c);
  }
  static auto zone(const containers::element_field::SubElementField& z, const f::ValueBand& band,
                   const Names& c) {
    return SubElement(z, band, c);
  }
};
using MaskOps = BandOps<&ops::field::mask_node_field, &ops::field::mask_element_field,
                        &ops::field::mask_sub_node_field, &ops::field::mask_sub_element_field>;
using SelectOps = BandOps<&ops::field::select_node_field, &ops::field::select_element_field,
                          &ops::field::select_sub_node_field, &ops::field::select_sub_element_field>;

// The band is built (and its errors raised) before the field's flavour is looked at.
// A zone operation's new zone is stored; a Mesh is returned as it is.
template <class Ops>
Ref band_operation(PyObject* field, std::optional<double> ge, std::optional<double> gt, std::optional<double> le,
                   std::optional<double> lt, Names components) {
  const f::ValueBand band = f::value_band(ge, gt, le, lt);
  return on_field(field, [&]<class C>(const Borrowed<C>& b) -> Ref {
    if constexpr (kContainer<C>) {
      return to_python(Ops::container(*b, band, components));
    } else {
      auto result = read_value(*b, [&](const auto& z) { return Ops::zone(z, band, components); });
      if constexpr (std::is_same_v<decltype(result), containers::mesh::Mesh>)
        return to_python(std::move(result));
      else
        return to_python(store::insert(std::move(result)));
    }
  });
}

// ---------------------------------------------------------------------------
// Component filtering and renaming

constexpr Param filter_params[] = {{"field"}, {"components"}};
constexpr Param rename_params[] = {{"field"}, {"old"}, {"new"}};

const Signature filter_components_sig{
    "filter_components", nullptr, Receiver::None, filter_params,
    "Keep only the named components of a field, zone by zone.\n\n"
    "`components` is a str or a sequence of str. Zones carrying none of them are\n"
    "dropped, zones carrying only listed ones are shared, the others are rebuilt\n"
    "with the listed components in their own order. Returns the same flavour."};
const Signature rename_component_sig{
    "rename_component", nullptr, Receiver::None, rename_params,
    "Rename component `old` to `new` in every zone carrying it; other zones are\n"
    "shared. Returns the same flavour."};

// The names are converted here, not by the argument matcher, so that their error
// carries no argument prefix; still before the field's flavour is looked at.
Ref filter_components(PyObject* field, PyObject* components) {
  const std::vector<std::string> names = extract_components(components);
  return on_field(field, [&]<class C>(const Borrowed<C>& b) -> Ref {
    if constexpr (kContainer<C>)
      return to_python(b->filter_components(names));
    else
      return zone_result(b, [&](const auto& z) { return z.select_components(names); });
  });
}

Ref rename_component(PyObject* field, const std::string& old_name, const std::string& new_name) {
  return on_field(field, [&]<class C>(const Borrowed<C>& b) -> Ref {
    if constexpr (kContainer<C>)
      return to_python(f::rename_component(*b, old_name, new_name));
    else
      return zone_result(b, [&](const auto& z) { return f::rename_component(z, old_name, new_name); });
  });
}

// ---------------------------------------------------------------------------
// Coordinates

constexpr Param coordinates_params[] = {{"mesh"}, {"components", "None"}};
constexpr Param write_params[] = {{"field"}, {"components", "None"}};

const Signature coordinates_sig{
    "coordinates", nullptr, Receiver::None, coordinates_params,
    "The coordinates of a mesh's nodes as a new NodeField.\n\n"
    "One zone per submesh, on its nodes, with one component per axis name (\"X\",\n"
    "\"Y\", \"Z\"; by default as many as the Coords has axes, at most three), read\n"
    "from the active configuration."};
const Signature set_coordinates_sig{
    "set_coordinates", nullptr, Receiver::None, write_params,
    "Write absolute coordinates from a NodeField into the active configuration of\n"
    "its Coords: one component name per axis, in axis order (default \"X\", \"Y\",\n"
    "\"Z\"). Every value is read and checked before any node moves."};
const Signature displace_sig{
    "displace", nullptr, Receiver::None, write_params,
    "Move the nodes of a NodeField's Coords by the field's values: one component\n"
    "name per axis, in axis order (default \"ux\", \"uy\", \"uz\"), added to the active\n"
    "configuration. Every value is read and checked before any node moves."};

using containers::node_field::NodeField;

NodeField coordinates_body(const Borrowed<MeshClass>& mesh, const Names& names) {
  return ops::field::coordinates(*mesh, names);
}
void set_coordinates_body(const Borrowed<NodeFieldClass>& field, const Names& names) {
  ops::field::set_coordinates(*field, names);
}
void displace_body(const Borrowed<NodeFieldClass>& field, const Names& names) {
  ops::field::displace(*field, names);
}

// ---------------------------------------------------------------------------
// Restriction and merging

constexpr Param restrict_params[] = {{"field"}, {"mesh"}};
constexpr Param restrict_like_params[] = {{"field"}, {"target"}};
constexpr Param merge_params[] = {{"a"}, {"b"}};

const Signature restrict_sig{
    "restrict", nullptr, Receiver::None, restrict_params,
    "Carry a NodeField onto the nodes of a Mesh: one zone per submesh, on its nodes,\n"
    "with every component of the field; a (node, component) pair the field does not\n"
    "define is 0.0. Both must be on one Coords."};
const Signature restrict_like_sig{
    "restrict_like", nullptr, Receiver::None, restrict_like_params,
    "Carry a NodeField onto the supports and component lists of the zones of\n"
    "`target`, so that the result combines with `target` zone by zone; pairs the\n"
    "field does not define are 0.0 (target's values are never read)."};
const Signature merge_sig{
    "merge", nullptr, Receiver::None, merge_params,
    "The union of the zones of two NodeFields, or of two ElementFields, consolidated:\n"
    "zones on one support are fused, and values shared between zones must agree."};

NodeField restrict_body(const Borrowed<NodeFieldClass>& field, const Borrowed<MeshClass>& mesh) {
  return ops::field::restrict(*field, *mesh);
}
NodeField restrict_like_body(const Borrowed<NodeFieldClass>& field, const Borrowed<NodeFieldClass>& target) {
  return ops::field::restrict_like(*field, *target);
}
// `b` must be of `a`'s class; a wrong class is the argument error of the one at fault.
Ref merge_body(PyObject* a, PyObject* b) {
  const auto operand = []<class C>(PyObject* obj, const char* name) {
    try {
      return borrow<C>(obj);
    } catch (const ErrorAlreadySet&) {
      rethrow_as_argument_error(name);
    }
  };
  if (is_instance<ElementFieldClass>(a)) {
    const auto x = operand.template operator()<ElementFieldClass>(a, "a");
    const auto y = operand.template operator()<ElementFieldClass>(b, "b");
    // The plain union of handles: zones sharing a subspace are fused, not refused.
    using List = containers::element_field::ElementField::SubList;
    return to_python(containers::field::consolidate_element(List::union_(*x, *y)));
  }
  const auto x = operand.template operator()<NodeFieldClass>(a, "a");
  const auto y = operand.template operator()<NodeFieldClass>(b, "b");
  return to_python(NodeField::union_(*x, *y));
}

// ---------------------------------------------------------------------------
// Divergence and integrals

constexpr Param divergence_params[] = {{"field"}};
constexpr Param integral_params[] = {{"field"}, {"component"}, {"fespace", "None"}};

const Signature divergence_sig{
    "divergence", nullptr, Receiver::None, divergence_params,
    "Weak divergence of a per-element vector field, as nodal values: for each zone a\n"
    "zone \"div\" on the nodes of its submesh, d_i = ∫ ∇N_i · F dΩ summed over the\n"
    "cells holding node i, the zone's k-th component being F along axis k (one\n"
    "component per axis). The adjoint of `gradient`."};
const Signature integral_sig{
    "integral", nullptr, Receiver::None, integral_params,
    "Integral of one component of a field over its support, by the quadrature of\n"
    "the subspaces. An ElementField gives the sum over its zones carrying the\n"
    "component of Σ_cells Σ_g v(cell, g) dΩ_g; a NodeField needs `fespace` and gives\n"
    "Σ_cells Σ_g (Σ_j f(n_j) N_j(ξ_g)) dΩ_g over its subspaces. A field of already\n"
    "integrated nodal forces is totalled by `field.sum(component)` instead."};

NodeField divergence_body(const Borrowed<ElementFieldClass>& field) { return ops::field::divergence(*field); }

using SpaceArg = std::optional<Borrowed<FiniteElementSpaceClass>>;

double integral_body(PyObject* field, const std::string& component, const SpaceArg& fespace) {
  if (auto b = try_borrow<NodeFieldClass>(field)) {
    if (!fespace) raise_type_error("integral: a NodeField needs a FiniteElementSpace (fespace=...)");
    return ops::field::integral(**b, component, **fespace);
  }
  if (is_instance<ElementFieldClass>(field)) return ops::field::integral(*borrow<ElementFieldClass>(field), component);
  raise_type_error("integral: expected a NodeField (with fespace=...) or an ElementField");
}

}  // namespace

PyMethodDef divergence_def = function<divergence_sig, divergence_body, borrow<ElementFieldClass>>();
PyMethodDef integral_def =
    function<integral_sig, integral_body, any_object, to_str, opt<borrow<FiniteElementSpaceClass>>>();
PyMethodDef restrict_def = function<restrict_sig, restrict_body, borrow<NodeFieldClass>, borrow<MeshClass>>();
PyMethodDef restrict_like_def =
    function<restrict_like_sig, restrict_like_body, borrow<NodeFieldClass>, borrow<NodeFieldClass>>();
PyMethodDef merge_def = function<merge_sig, merge_body, any_object, any_object>();
PyMethodDef coordinates_def =
    function<coordinates_sig, coordinates_body, borrow<MeshClass>, opt<to_str_list>>();
PyMethodDef set_coordinates_def =
    function<set_coordinates_sig, set_coordinates_body, borrow<NodeFieldClass>, opt<to_str_list>>();
PyMethodDef displace_def = function<displace_sig, displace_body, borrow<NodeFieldClass>, opt<to_str_list>>();
PyMethodDef select_def = function<select_sig, band_operation<SelectOps>, any_object, opt<to_f64>, opt<to_f64>, opt<to_f64>,
                                  opt<to_f64>, opt<to_str_list>>();
PyMethodDef mask_def = function<mask_sig, band_operation<MaskOps>, any_object, opt<to_f64>, opt<to_f64>, opt<to_f64>, opt<to_f64>,
                                opt<to_str_list>>();
PyMethodDef filter_components_def =
    function<filter_components_sig, filter_components, any_object, any_object>();
PyMethodDef rename_component_def = function<rename_component_sig, rename_component, any_object, to_str, to_str>();
PyMethodDef xty_def = function<xty_sig, xty, any_object, any_object>();
PyMethodDef xtx_def = function<xtx_sig, xtx, any_object, opt<to_str_list>>();
PyMethodDef psca_def = function<psca_sig, psca, any_object, any_object>();
PyMethodDef abs_def = function<abs_sig, abs_body, any_object>();
PyMethodDef sqrt_def = function<sqrt_sig, sqrt_body, any_object>();
PyMethodDef exp_def = function<exp_sig, exp_body, any_object>();
PyMethodDef log_def = function<log_sig, log_body, any_object>();
PyMethodDef log10_def = function<log10_sig, log10_body, any_object>();
PyMethodDef cos_def = function<cos_sig, cos_body, any_object>();
PyMethodDef sin_def = function<sin_sig, sin_body, any_object>();
PyMethodDef tan_def = function<tan_sig, tan_body, any_object>();
PyMethodDef sinh_def = function<sinh_sig, sinh_body, any_object>();
PyMethodDef cosh_def = function<cosh_sig, cosh_body, any_object>();
PyMethodDef tanh_def = function<tanh_sig, tanh_body, any_object>();

}  // namespace quenlith::py
