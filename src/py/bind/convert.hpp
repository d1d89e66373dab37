#pragma once
// Converters from Python objects to core values. On a bad value each sets a
// Python exception, the interpreter's own (an OverflowError from PyLong, say) or a
// TypeError or ValueError with our text, and throws ErrorAlreadySet. `arg(...)` runs a
// converter on one bound argument and, for a TypeError, re-raises it as
// "argument '{name}': {text}" keeping the original's cause.
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "containers/mesh/element_type.hpp"
#include "py/bind/errors.hpp"
#include "py/bind/ref.hpp"
#include "py/bind/signature.hpp"

namespace quenlith::py {

// Re-raises the current exception, if it is a TypeError, as the argument error
// for `name`. Always throws ErrorAlreadySet.
[[noreturn]] void rethrow_as_argument_error(const char* name);

template <class Conv>
auto arg(const Signature& sig, const BoundArgs& bound, std::size_t i, Conv&& conv) -> decltype(conv(nullptr)) {
  try {
    return conv(bound[i]);
  } catch (const ErrorAlreadySet&) {
    rethrow_as_argument_error(sig.params[i].name);
  }
}

// The qualified name of an object's type ("int", "Coords").
std::string type_qualname(PyObject* obj);
// "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
[[noreturn]] void raise_not_instance(PyObject* obj, std::string_view class_name);

double to_f64(PyObject* obj);
std::int64_t to_i64(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);
std::uint8_t to_u8(PyObject* obj);
// True, False or a numpy boolean; nothing else.
bool to_bool(PyObject* obj);
// A str (or subclass), taken as UTF-8.
std::string to_str(PyObject* obj);
// A str or an os.PathLike whose path is a str, encoded with the file-system
// encoding. A path holding a NUL character raises ValueError "embedded null byte".
std::string to_path(PyObject* obj);
// A str only (a path-like object is refused like any other non-str), encoded with
// the file-system encoding; a NUL character raises ValueError "embedded null byte".
std::string to_str_path(PyObject* obj);
// An element type name, ASCII letters compared without regard to case; ValueError
// "unknown element type: {}" with the name as written otherwise.
containers::mesh::ElementType parse_element_type(const std::string& name);
// Any sequence but a str: its items converted by `conv`.
template <class Conv>
auto to_list(PyObject* obj, Conv&& conv) -> std::vector<decltype(conv(nullptr))>;
// A tuple of exactly `n` items ("expected tuple of length {}, but got tuple of length {}").
Ref to_tuple_n(PyObject* obj, Py_ssize_t n);
std::vector<double> to_f64_list(PyObject* obj);
std::vector<std::string> to_str_list(PyObject* obj);

// The `components` argument: a str, or a sequence of str.
// TypeError "components: expected a str or a list of str" otherwise.
std::vector<std::string> extract_components(PyObject* obj);

// Subscript keys, the same for every class.
// A key converted as the integer argument `idx` is (the items of SubMesh, Cell and
// SubFiniteElementSpace).
std::int64_t idx_key(PyObject* key);
// A key as a signed 64-bit integer, or TypeError "{class} indices must be integers or
// slices" for anything else, an integer out of range included (containers).
std::int64_t index_key(PyObject* key, std::string_view class_name);
// `key` counted from the end when negative, checked against `n`; IndexError
// "{what} index {} out of range (len={})" with the key as written.
std::uint64_t checked_position(std::int64_t key, std::uint64_t n, std::string_view what);
// The positions a slice selects on a sequence of length `n` (the interpreter's
// `indices`; its errors, such as a zero step, are raised as they are).
std::vector<std::uint64_t> slice_positions(PyObject* slice, Py_ssize_t n);

// Python values from core values.
Ref from_str(std::string_view s);
Ref from_f64(double v);
Ref from_u64(std::uint64_t v);
Ref from_i64(std::int64_t v);
Ref from_bool(bool v);

// A new Python list of `values` in order, each item made by `to_python(item)`
// (which returns a Ref; the item is passed as a non-const lvalue when `values`
// is one, so `to_python` may move from it).
template <class Range, class F>
Ref list_from(Range&& values, F&& to_python);
// Lists of floats, ints and strs (texts as in from_str).
Ref list_from(const std::vector<double>& values);
Ref list_from(const std::vector<std::uint32_t>& values);
Ref list_from(const std::vector<std::uint64_t>& values);
Ref list_from(const std::vector<std::string>& values);

namespace detail {
// Checks `obj` is a sequence but not a str and returns its fast form (list or tuple).
Ref sequence_items(PyObject* obj);
}  // namespace detail

template <class Conv>
auto to_list(PyObject* obj, Conv&& conv) -> std::vector<decltype(conv(nullptr))> {
  Ref seq = detail::sequence_items(obj);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<decltype(conv(nullptr))> out;
  out.reserve(static_cast<std::size_t>(n));
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(conv(items[i]));
  return out;
}

template <class Range, class F>
Ref list_from(Range&& values, F&& to_python) {
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(values))));
  Py_ssize_t i = 0;
  // A failure part-way leaves NULL items, which the list's deallocation skips.
  for (auto&& value : values) PyList_SET_ITEM(out.get(), i++, to_python(value).release());  // steals the item
  return out;
}

}  // namespace quenlith::py
