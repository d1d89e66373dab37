#pragma once
// What the classes SubEvolution and Evolution share in Python: their (abscissa,
// value) pair arguments and the optional out-of-range override of `interpolate`.
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "containers/evolution/sub_evolution.hpp"
#include "py/bind/convert.hpp"
#include "py/bind/ref.hpp"
#include "py/bind/signature.hpp"

namespace quenlith::py {

// One (abscissa, value) pair: the tuple is kept, so the value stays alive whatever
// the caller does to its list while later items are converted.
struct PairArg {
  double abscissa;
  Ref tuple;
  PyObject* value;  // borrowed from `tuple`
};

// A sequence (not a str) of 2-tuples whose first item is a float; the values are
// left as they are, for the caller to try as its kinds.
inline std::vector<PairArg> to_pairs(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 2);
    const double a = to_f64(PyTuple_GET_ITEM(tuple.get(), 0));
    PyObject* value = PyTuple_GET_ITEM(tuple.get(), 1);
    return PairArg{a, std::move(tuple), value};
  });
}

// Any object, converted later by the body that knows which kinds it takes.
inline PyObject* any_object(PyObject* obj) { return obj; }

// The constructors' `out_of_range`: a str ("error" when omitted); None is refused.
inline std::string policy_name(PyObject* obj) { return obj ? to_str(obj) : std::string("error"); }

inline std::optional<containers::evolution::OutOfRange> policy_override(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  return containers::evolution::parse_out_of_range(*name);
}

inline constexpr Param kEvolutionNewParams[] = {
    {"samples"}, {"out_of_range", "\"error\""}, {"abscissa_type", "None"}, {"ordinate_type", "None"}};
inline constexpr Param kEvolutionStepsParams[] = {
    {"steps"}, {"out_of_range", "\"error\""}, {"abscissa_type", "None"}, {"ordinate_type", "None"}};
inline constexpr Param kInterpolateParams[] = {{"x"}, {"out_of_range", "None"}};
inline constexpr const char* kOutOfRangeDoc = "The stored out-of-range policy name.";
inline constexpr const char* kAbscissaTypeDoc = "The abscissa's physical type, or `None`.";

}  // namespace quenlith::py
