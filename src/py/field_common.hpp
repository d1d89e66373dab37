#pragma once
// What the four field classes (NodeField, SubNodeField, ElementField,
// SubElementField) share in Python: the comparisons with a number, which give a
// 0/1 mask of the same structure, and a container's indexing by component names.
#include <Python.h>

#include <vector>

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
