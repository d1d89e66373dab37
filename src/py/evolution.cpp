// The Python class Evolution: an ordered list of curves of one kind with its own
// out-of-range policy.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "containers/evolution/evolution.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "py/evolution_common.hpp"
#include "py/field_common.hpp"

namespace quenlith::py {

using containers::evolution::Evolution;
using containers::evolution::NodeField;
using containers::evolution::ElementField;

namespace {

const Signature new_sig{
    "__new__", "Evolution", Receiver::Constructor, kEvolutionStepsParams,
    "An aggregate of tabulated curves (one `SubEvolution` per zone), interpolated\n"
    "linearly against a variable (often time).\n\n"
    "Build high-level with `Evolution(steps, out_of_range=\"error\")` where each\n"
    "step is `(abscissa, value)` and `value` is a whole `NodeField`,\n"
    "`ElementField` or float (whole fields are transposed into one curve per\n"
    "zone); or low-level by composing `SubEvolution`s with `|`. Index it\n"
    "(`evolution[i]`) to reach a `SubEvolution`."};
const Signature out_of_range_sig{"out_of_range", "Evolution", Receiver::Self, {}, kOutOfRangeDoc};
const Signature abscissa_type_sig{"abscissa_type", "Evolution", Receiver::Self, {}, kAbscissaTypeDoc};
const Signature ordinate_type_sig{"ordinate_type", "Evolution", Receiver::Self, {},
                                  "The ordinate's physical type (scalar evolutions), or `None`."};
const Signature interpolate_sig{
    "interpolate", "Evolution", Receiver::Self, kInterpolateParams,
    "Interpolate at `x`.\n\n"
    "- `x` a **float** → every curve interpolated and regrouped: a\n"
    "  `list[float]` for scalars, a `NodeField` / `ElementField` for fields;\n"
    "- `x` a **`NodeField`** or **`ElementField`** → that field mapped\n"
    "  through the (single, scalar) curve as a transfer function: each entry\n"
    "  of the input's `abscissa_type` component is looked up, yielding a field\n"
    "  of one component (named after `ordinate_type`) on the same support.\n\n"
    "`out_of_range` overrides the stored policy for this query."};

// The steps of whole fields of class C: every step's value must be one (the
// binding's own TypeError otherwise), each held shared while the curves are built.
template <class C, class Build>
Evolution from_field_steps(const std::vector<PairArg>& steps, Build&& build) {
  std::vector<Borrowed<C>> held;
  held.reserve(steps.size());
  std::vector<std::pair<double, const typename C::Payload*>> pairs;
  pairs.reserve(steps.size());
  for (const PairArg& s : steps) {
    held.push_back(borrow<C>(s.value));
    pairs.emplace_back(s.abscissa, &*held.back());
  }
  return build(pairs);
}

Evolution make_evolution(const std::vector<PairArg>& steps, const std::string& policy_name,
                         const std::optional<std::string>& abscissa_type,
                         const std::optional<std::string>& ordinate_type) {
  const auto policy = containers::evolution::parse_out_of_range(policy_name);
  if (steps.empty()) raise_value_error("Evolution: at least one step is required");
  PyObject* first = steps.front().value;
  Evolution ev;
  if (detail::float_or_nothing(first)) {
    std::vector<std::pair<double, double>> numbers;
    numbers.reserve(steps.size());
    for (const PairArg& s : steps) numbers.emplace_back(s.abscissa, to_f64(s.value));
    ev = Evolution::from_scalar_steps(numbers, policy);
  } else if (is_instance<NodeFieldClass>(first)) {
    ev = from_field_steps<NodeFieldClass>(steps, [&](const auto& p) { return Evolution::from_node_fields(p, policy); });
  } else if (is_instance<ElementFieldClass>(first)) {
    ev = from_field_steps<ElementFieldClass>(steps,
                                             [&](const auto& p) { return Evolution::from_element_fields(p, policy); });
  } else {
    raise_type_error("Evolution step value must be a float, a NodeField or an ElementField");
  }
  ev.set_abscissa_type(abscissa_type);
  ev.set_ordinate_type(ordinate_type);
  return ev;
}

std::string out_of_range(const Evolution& ev) {
  return std::string(containers::evolution::out_of_range_name(ev.out_of_range()));
}
std::optional<std::string> abscissa_type(const Evolution& ev) { return ev.abscissa_type(); }
std::optional<std::string> ordinate_type(const Evolution& ev) { return ev.ordinate_type(); }

Ref interpolate(const Evolution& ev, PyObject* x, const std::optional<std::string>& policy_name) {
  const auto policy = policy_override(policy_name);
  if (const std::optional<double> at = detail::float_or_nothing(x)) {
    return std::visit([](auto&& v) { return to_python(std::move(v)); }, ev.interpolate(policy, *at));
  }
  if (is_instance<NodeFieldClass>(x)) return to_python(ev.map_node_field(*borrow<NodeFieldClass>(x), policy));
  if (is_instance<ElementFieldClass>(x))
    return to_python(ev.map_element_field(*borrow<ElementFieldClass>(x), policy));
  raise_type_error("interpolate expects a float, a NodeField or an ElementField");
}

TypeDef evolution_type_def() {
  using C = EvolutionClass;
  static const PyMethodDef methods[] = {
      method<C, out_of_range_sig, out_of_range>(),
      method<C, abscissa_type_sig, abscissa_type>(),
      method<C, ordinate_type_sig, ordinate_type>(),
      method<C, interpolate_sig, interpolate, any_object, opt<to_str>>(),
  };
  return Container<C>::def("_quenlith.Evolution", new_sig, methods,
                           {{constructor<C, new_sig, make_evolution, to_pairs, policy_name, opt<to_str>, opt<to_str>>()}});
}

}  // namespace

std::string EvolutionClass::dump_text(const Payload& evolution, const dump::DumpOptions& options) {
  return field_dump_text(evolution, options);
}

TypeCache EvolutionClass::type{&evolution_type_def};

}  // namespace quenlith::py
