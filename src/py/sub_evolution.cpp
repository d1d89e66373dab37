// The Python class SubEvolution: one handle on a stored curve, a view shared by
// every holder of that curve (a curve never changes once its evolution is built).
#include <optional>
#include <string>
#include <vector>

#include "containers/evolution/evolution.hpp"
#include "containers/evolution/sub_evolution.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "py/evolution_common.hpp"
#include "py/field_common.hpp"

namespace quenlith::py {

using containers::evolution::EvolutionValue;
using containers::evolution::Sample;
using containers::evolution::SubEvolution;
using CurveHandle = store::Handle<SubEvolution>;

namespace {

const Signature new_sig{
    "__new__", "SubEvolution", Receiver::Constructor, kEvolutionNewParams,
    "One tabulated curve: a sorted list of abscissas with the matching values\n"
    "(a float, a `SubNodeField` or a `SubElementField`), interpolated linearly.\n\n"
    "Build with `SubEvolution(samples, out_of_range=\"error\")` where `samples`\n"
    "is a list of `(abscissa, value)` pairs; compose several curves into an\n"
    "`Evolution` with `|`."};
const Signature abscissa_type_sig{"abscissa_type", "SubEvolution", Receiver::Self, {}, kAbscissaTypeDoc};
const Signature ordinate_type_sig{"ordinate_type", "SubEvolution", Receiver::Self, {},
                                  "The ordinate's physical type (scalar curves), or `None`."};
const Signature abscissas_sig{"abscissas", "SubEvolution", Receiver::Self, {}, "The sorted abscissas."};
const Signature out_of_range_sig{"out_of_range", "SubEvolution", Receiver::Self, {}, kOutOfRangeDoc};
const Signature interpolate_sig{
    "interpolate", "SubEvolution", Receiver::Self, kInterpolateParams,
    "Interpolate at `x`.\n\n"
    "- `x` a **float** → a float / `SubNodeField` / `SubElementField` (the\n"
    "  curve's value at `x`);\n"
    "- `x` a **`SubNodeField`** or **`SubElementField`** → a field of the\n"
    "  same support whose every entry is this **scalar** curve evaluated at\n"
    "  the input's `abscissa_type` component (the curve as a transfer\n"
    "  function). The output component is named after `ordinate_type`.\n\n"
    "`out_of_range` (`\"error\"` / `\"clamp\"` / `\"extrapolate\"`) overrides the\n"
    "stored policy for this query."};

// A sample value: a float, else a copy of a SubNodeField's or a SubElementField's zone.
EvolutionValue sample_value(PyObject* obj) {
  if (const std::optional<double> x = detail::float_or_nothing(obj)) return *x;
  if (is_instance<SubNodeFieldClass>(obj)) return store::read(*borrow<SubNodeFieldClass>(obj))->clone();
  if (is_instance<SubElementFieldClass>(obj)) return store::read(*borrow<SubElementFieldClass>(obj))->clone();
  raise_type_error("evolution value must be a float, a SubNodeField or a SubElementField");
}

CurveHandle make_curve(const std::vector<PairArg>& pairs, const std::string& policy_name,
                       std::optional<std::string> abscissa_type, std::optional<std::string> ordinate_type) {
  const auto policy = containers::evolution::parse_out_of_range(policy_name);
  std::vector<Sample> samples;
  samples.reserve(pairs.size());
  for (const PairArg& p : pairs) samples.push_back({p.abscissa, sample_value(p.value)});
  SubEvolution curve = SubEvolution::create(std::move(samples), policy);
  curve.set_abscissa_type(std::move(abscissa_type));
  curve.check_ordinate_type(std::move(ordinate_type));
  return store::insert(std::move(curve));
}

std::uint64_t sample_count(const SubEvolution& c) { return c.sample_count(); }
std::optional<std::string> abscissa_type(const SubEvolution& c) { return c.abscissa_type(); }
std::optional<std::string> ordinate_type(const SubEvolution& c) { return c.ordinate_type(); }
std::vector<double> abscissas(const SubEvolution& c) { return {c.abscissas().begin(), c.abscissas().end()}; }
std::string out_of_range(const SubEvolution& c) {
  return std::string(containers::evolution::out_of_range_name(c.out_of_range()));
}

// The curve at a float, or a zone mapped through it; the curve's guard is gone
// before the result is stored and wrapped.
Ref interpolate(const CurveHandle& h, PyObject* x, const std::optional<std::string>& policy_name) {
  const auto policy = policy_override(policy_name);
  std::optional<EvolutionValue> result;
  {
    store::ReadGuard<SubEvolution> curve = store::read(h);
    if (const std::optional<double> at = detail::float_or_nothing(x)) {
      result = curve->interpolate(policy, *at);
    } else if (is_instance<SubNodeFieldClass>(x)) {
      const auto zone = store::read(*borrow<SubNodeFieldClass>(x))->clone();
      result = curve->map_sub_node_field(zone, policy);
    } else if (is_instance<SubElementFieldClass>(x)) {
      const auto zone = store::read(*borrow<SubElementFieldClass>(x))->clone();
      result = curve->map_sub_element_field(zone, policy);
    } else {
      raise_type_error("interpolate expects a float, a SubNodeField or a SubElementField");
    }
  }
  switch (result->index()) {
    case 0: return to_python(std::get<0>(*result));
    case 1: return to_python(store::insert(std::move(std::get<1>(*result))));
    default: return to_python(store::insert(std::move(std::get<2>(*result))));
  }
}

TypeDef sub_evolution_type_def() {
  using C = SubEvolutionClass;
  using K = Class<C>;
  static PyMethodDef methods[] = {
      K::dump(),
      method<C, abscissa_type_sig, abscissa_type>(),
      method<C, ordinate_type_sig, ordinate_type>(),
      method<C, abscissas_sig, abscissas>(),
      method<C, out_of_range_sig, out_of_range>(),
      method<C, interpolate_sig, interpolate, any_object, opt<to_str>>(),
      kMethodsEnd,
  };
  return K::def("_quenlith.SubEvolution", new_sig, methods, nullptr,
                {{constructor<C, new_sig, make_curve, to_pairs, policy_name, opt<to_str>, opt<to_str>>()},
                 K::length<sample_count>(), Container<EvolutionClass>::sub_or_slot()});
}

}  // namespace

TypeCache SubEvolutionClass::type{&sub_evolution_type_def};

}  // namespace quenlith::py
