#pragma once
// What the four field classes (NodeField, SubNodeField, ElementField,
// SubElementField) share in Python: the comparisons with a number, which give a
// 0/1 mask of the same structure; the arithmetic operators; the component methods
// and reductions; a container's indexing by component names.
#include <Python.h>

#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "containers/field/algebra.hpp"
#include "containers/field/value_band.hpp"
#include "dump/number_format.hpp"
#include "py/bind/container.hpp"

namespace quenlith::py {

namespace detail {

// The band of a rich comparison with x; nothing for == and != (and for any other
// code), which the interpreter answers by identity.
inline std::optional<containers::field::ValueBand> comparison_band(int op, double x) {
  using containers::field::Comparison;
  switch (op) {
    case Py_LT: return containers::field::comparison_band(Comparison::Less, x);
    case Py_LE: return containers::field::comparison_band(Comparison::LessEqual, x);
    case Py_GT: return containers::field::comparison_band(Comparison::Greater, x);
    case Py_GE: return containers::field::comparison_band(Comparison::GreaterEqual, x);
    default: return std::nullopt;
  }
}

// `obj` as a float, or nothing when the interpreter refuses it with a TypeError
// (any other exception, raised by a user's __float__, propagates).
inline std::optional<double> float_or_nothing(PyObject* obj) {
  try {
    return to_f64(obj);
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    PyErr_Clear();
    return std::nullopt;
  }
}

}  // namespace detail

// tp_richcompare of class C: `obj < x`, `<=`, `>`, `>=` with x anything that
// converts to a float give Mask(payload, band), a new object; `==`, `!=`, another
// operand, or a receiver that cannot be held give NotImplemented (so `0.5 < obj`
// works as `obj > 0.5`).
template <class C, auto Mask>
PyObject* field_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guarded([&]() -> Ref {
    const auto not_implemented = [] { return Ref::borrow(Py_NotImplemented); };
    if (!is_instance<C>(self)) return not_implemented();
    std::optional<containers::field::ValueBand> band;
    if (op == Py_LT || op == Py_LE || op == Py_GT || op == Py_GE) {
      const std::optional<double> x = detail::float_or_nothing(other);
      if (x) band = detail::comparison_band(op, *x);
    }
    if (!band) return not_implemented();
    std::optional<Borrowed<C>> receiver;
    try {
      receiver.emplace(Borrowed<C>::receiver(self));
    } catch (const ErrorAlreadySet&) {
      PyErr_Clear();  // a conflicting hold
      return not_implemented();
    }
    return to_python(Mask(**receiver, *band));
  });
}

// The arithmetic operators of class C (a zone class or a field container):
// `obj op x` with x anything that converts to a float, a zone or field of the same
// class, or (for a container) a zone of its item class. The receiver always gives
// the left value; a left operand of another class, or one that cannot be held,
// gives NotImplemented, so a number on the left ends in the interpreter's
// TypeError (there are no reflected forms). Any other right operand: TypeError
// "unsupported operand: expected ...".
template <class C>
struct FieldArithmetic {
  using FieldOp = containers::field::FieldOp;
  static constexpr bool kContainer = requires { typename C::SubClass; };

  static std::string refusal() {
    if constexpr (kContainer) {
      const char* article = std::string_view("AEIOU").find(C::kName[0]) != std::string_view::npos ? "an" : "a";
      return fmt::format("unsupported operand: expected a float, {} {}, or a {}", article, C::kName,
                         C::SubClass::kName);
    } else {
      return fmt::format("unsupported operand: expected a float or a {}", C::kName);
    }
  }

  static Ref apply(PyObject* a, PyObject* b, FieldOp op, PyObject* modulo) {
    if (!is_instance<C>(a)) return Ref::borrow(Py_NotImplemented);
    std::optional<Borrowed<C>> left;
    try {
      left.emplace(Borrowed<C>::receiver(a));
    } catch (const ErrorAlreadySet&) {
      PyErr_Clear();  // a conflicting hold
      return Ref::borrow(Py_NotImplemented);
    }
    if (modulo && modulo != Py_None) raise_type_error("field ** exponent does not support a modulo argument");
    namespace f = containers::field;
    if (const std::optional<double> x = detail::float_or_nothing(b)) {
      if constexpr (kContainer) {
        return to_python(f::scalar_op(**left, op, *x));
      } else {
        return to_python(store::insert(read_value(**left, [&](const auto& z) { return f::scalar_op(z, op, *x); })));
      }
    }
    if (is_instance<C>(b)) {
      const Borrowed<C> right(b);
      if constexpr (kContainer)
        return to_python(f::binary_op(**left, *right, op));
      else
        return to_python(store::insert(f::merge_handles(**left, *right, op)));
    }
    if constexpr (kContainer) {
      if (is_instance<typename C::SubClass>(b)) {
        const Borrowed<typename C::SubClass> zone(b);
        return to_python(f::merge_subfield(**left, *zone, op));
      }
    }
    raise_type_error(refusal());
  }

  template <FieldOp Op>
  static PyObject* binary(PyObject* a, PyObject* b) noexcept {
    return guarded([&] { return apply(a, b, Op, nullptr); });
  }
  static PyObject* power(PyObject* a, PyObject* b, PyObject* modulo) noexcept {
    return guarded([&] { return apply(a, b, FieldOp::Pow, modulo); });
  }

  static Slots slots() {
    return {
        {Py_nb_add, reinterpret_cast<void*>(&binary<FieldOp::Add>)},
        {Py_nb_subtract, reinterpret_cast<void*>(&binary<FieldOp::Sub>)},
        {Py_nb_multiply, reinterpret_cast<void*>(&binary<FieldOp::Mul>)},
        {Py_nb_true_divide, reinterpret_cast<void*>(&binary<FieldOp::Div>)},
        {Py_nb_power, reinterpret_cast<void*>(&power)},
    };
  }
};

// The component methods and reductions of class C: sum, min, max and the in-place
// add_to_component, sub_to_component, mul_to_component and div_to_component. On a
// zone class they run under the zone's read or write guard; on a container the core
// guards each zone in turn.
template <class C>
struct FieldComponentMethods {
  static constexpr bool kContainer = requires { typename C::SubClass; };
  using Payload = typename C::Payload;
  using Value = typename std::conditional_t<kContainer, std::type_identity<Payload>, ::quenlith::py::detail::StoredOf<Payload>>::type;
  // What an in-place body takes: the zone under its write guard, or the field's list.
  using Target = std::conditional_t<kContainer, const Value&, Value&>;
  using ComponentOp = containers::field::ComponentOp;
  using Extremum = containers::field::Extremum;

  static constexpr Param kComponent[] = {{"component"}};
  static constexpr Param kComponentScalar[] = {{"component"}, {"scalar"}};
  static inline const Signature sum_sig{
      "sum", C::kName, Receiver::Self, kComponent,
      kContainer ? "Sum of the component over every zone carrying it." : "Sum of the component over the zone (-0.0 when empty)."};
  static inline const Signature min_sig{"min", C::kName, Receiver::Self, kComponent,
                                        "Smallest value of the component, NaN values ignored."};
  static inline const Signature max_sig{"max", C::kName, Receiver::Self, kComponent,
                                        "Largest value of the component, NaN values ignored."};
  static inline const Signature add_sig{"add_to_component", C::kName, Receiver::Self, kComponentScalar,
                                        "Add `scalar` to every value of the component, in place."};
  static inline const Signature sub_sig{"sub_to_component", C::kName, Receiver::Self, kComponentScalar,
                                        "Subtract `scalar` from every value of the component, in place."};
  static inline const Signature mul_sig{"mul_to_component", C::kName, Receiver::Self, kComponentScalar,
                                        "Multiply every value of the component by `scalar`, in place."};
  static inline const Signature div_sig{"div_to_component", C::kName, Receiver::Self, kComponentScalar,
                                        "Divide every value of the component by a non-zero `scalar`, in place."};

  static double sum(const Value& v, const std::string& c) { return containers::field::sum(v, c); }
  static double min(const Value& v, const std::string& c) { return containers::field::extremum(v, c, Extremum::Min); }
  static double max(const Value& v, const std::string& c) { return containers::field::extremum(v, c, Extremum::Max); }
  template <ComponentOp Op>
  static void component(Target v, const std::string& c, double x) {
    containers::field::component_op(v, Op, c, x);
  }

  static std::vector<PyMethodDef> defs() {
    return {
        method<C, sum_sig, &sum, to_str>(),
        method<C, min_sig, &min, to_str>(),
        method<C, max_sig, &max, to_str>(),
        method<C, add_sig, &component<ComponentOp::Add>, to_str, to_f64>(),
        method<C, sub_sig, &component<ComponentOp::Sub>, to_str, to_f64>(),
        method<C, mul_sig, &component<ComponentOp::Mul>, to_str, to_f64>(),
        method<C, div_sig, &component<ComponentOp::Div>, to_str, to_f64>(),
    };
  }
};

// A method table: `own` (its null end, if any, dropped), then `more`, then the end.
inline PyMethodDef* method_table(std::span<const PyMethodDef> own, const std::vector<PyMethodDef>& more,
                                 std::vector<PyMethodDef>& storage) {
  for (const PyMethodDef& m : own)
    if (m.ml_name) storage.push_back(m);
  storage.insert(storage.end(), more.begin(), more.end());
  storage.push_back(kMethodsEnd);
  return storage.data();
}

// The indexing of a field container: a slice, then component names (a str, or a
// list or tuple of str: `filter_components`), then an integer index.
template <class C>
PyObject* field_subscript(PyObject* self, PyObject* key) noexcept {
  return guarded([&]() -> Ref {
    if (Py_IS_TYPE(key, &PySlice_Type)) return Ref::steal(Container<C>::subscript(self, key));
    bool names = PyUnicode_Check(key);
    if (!names && (PyList_Check(key) || PyTuple_Check(key))) {
      names = true;
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(key) && names; ++i)
        names = PyUnicode_Check(PySequence_Fast_GET_ITEM(key, i));
    }
    if (names) {
      const std::vector<std::string> wanted = extract_components(key);
      const Borrowed<C> field = Borrowed<C>::receiver(self);
      return to_python(field->filter_components(wanted));
    }
    return Container<C>::item(self, index_key(key, C::kName));
  });
}

// The sequence form of a zone's indexing, which iteration uses: an integer key,
// which a zone's `Subscript` refuses.
template <PyObject* (*Subscript)(PyObject*, PyObject*)>
PyObject* zone_sq_item(PyObject* self, Py_ssize_t i) noexcept {
  Ref key = Ref::steal_or_null(PyLong_FromSsize_t(i));
  if (!key) return nullptr;
  return Subscript(self, key.get());
}

// A zone's item assignment `zone[key] = value`: deleting is refused before
// anything else; then ParseKey(key) (its TypeError is the argument error of
// `key`), the value as a float (that of `value`), and Write(zone, key, value)
// under the zone's write guard.
template <class C, auto ParseKey, auto Write>
int zone_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
  static constexpr const char* kKey = "key";
  static constexpr const char* kValue = "value";
  return guarded_status([&] {
    if (!value) raise(PyExc_NotImplementedError, "can't delete item");
    auto parsed = [&] {
      try {
        return ParseKey(key);
      } catch (const ErrorAlreadySet&) {
        rethrow_as_argument_error(kKey);
      }
    }();
    double v;
    try {
      v = to_f64(value);
    } catch (const ErrorAlreadySet&) {
      rethrow_as_argument_error(kValue);
    }
    const Borrowed<C> zone = Borrowed<C>::receiver(self);
    auto guard = store::write(*zone);
    Write(*guard, parsed, v);
  });
}

// The slots both zone classes share: indexing by name or row (also as a
// sequence, for iteration), item assignment, comparisons, and no hash.
template <class C, PyObject* (*Subscript)(PyObject*, PyObject*), auto ParseKey, auto Write, auto Mask>
Slots zone_slots() {
  return {
      {Py_mp_subscript, reinterpret_cast<void*>(Subscript)},
      {Py_sq_item, reinterpret_cast<void*>(&zone_sq_item<Subscript>)},
      {Py_mp_ass_subscript, reinterpret_cast<void*>(&zone_ass_subscript<C, ParseKey, Write>)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&field_richcompare<C, Mask>)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
  };
}

// The dump text of a field container. The zones' tables format values: the
// precision is refused once, rather than shown as every zone's error.
template <class Field>
std::string field_dump_text(const Field& field, const dump::DumpOptions& options) {
  dump::check_dump_precision(options.precision);
  return field.dump_text(options);
}

// The container's type with field_subscript in place of the list's own indexing.
inline TypeDef with_field_subscript(TypeDef type, PyObject* (*subscript)(PyObject*, PyObject*)) {
  for (PyType_Slot& slot : type.slots)
    if (slot.slot == Py_mp_subscript) slot.pfunc = reinterpret_cast<void*>(subscript);
  return type;
}

}  // namespace quenlith::py
