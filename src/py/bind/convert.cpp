#include "py/bind/convert.hpp"

#include <cstring>
#include <limits>

#include <fmt/format.h>

namespace quenlith::py {

namespace {

std::string utf8_of(PyObject* str_obj) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str_obj, &size);
  if (!data) throw ErrorAlreadySet{};
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

void rethrow_as_argument_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (!raised) throw ErrorAlreadySet{};
  if (!PyErr_GivenExceptionMatches(raised, PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    throw ErrorAlreadySet{};
  }
  Ref original = Ref::steal_or_null(raised);
  Ref text = Ref::steal_or_null(PyObject_Str(original.get()));
  if (!text) throw ErrorAlreadySet{};
  Ref message = Ref::steal_or_null(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) throw ErrorAlreadySet{};
  Ref replacement = Ref::steal_or_null(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) throw ErrorAlreadySet{};
  if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(replacement.get(), cause);  // steals
  PyErr_SetRaisedException(replacement.release());
  throw ErrorAlreadySet{};
}

std::string type_qualname(PyObject* obj) {
  Ref name = Ref::steal_or_null(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return utf8_of(name.get());
}

void raise_not_instance(PyObject* obj, std::string_view class_name) {
  if (obj == Py_None) raise_type_error(fmt::format("'None' is not an instance of '{}'", class_name));
  raise_type_error(fmt::format("'{}' object is not an instance of '{}'", type_qualname(obj), class_name));
}

double to_f64(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
  return v;
}

std::int64_t to_i64(PyObject* obj) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  return v;
}

std::uint64_t to_u64(PyObject* obj) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
  return v;
}

namespace {
template <class T>
T to_narrow_unsigned(PyObject* obj) {
  const std::uint64_t v = to_u64(obj);
  if (v > std::numeric_limits<T>::max()) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<T>(v);
}
}  // namespace

std::uint32_t to_u32(PyObject* obj) { return to_narrow_unsigned<std::uint32_t>(obj); }
std::uint8_t to_u8(PyObject* obj) { return to_narrow_unsigned<std::uint8_t>(obj); }

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // numpy booleans convert through their truth value.
  PyTypeObject* type = Py_TYPE(obj);
  Ref module = Ref::steal_or_null(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
    Ref name = Ref::steal_or_null(PyType_GetName(type));
    if (!name) throw ErrorAlreadySet{};
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
        PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0) {
      if (!type->tp_as_number || !type->tp_as_number->nb_bool)
        raise_type_error(fmt::format("object of type '{}' does not define a '__bool__' conversion", type_qualname(obj)));
      const int truth = type->tp_as_number->nb_bool(obj);
      if (truth < 0) throw ErrorAlreadySet{};
      return truth != 0;
    }
  }
  raise_not_instance(obj, "bool");
}

std::string to_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_not_instance(obj, "str");
  return utf8_of(obj);
}

namespace {

// The file-system bytes of a str path.
std::string encode_path(PyObject* str_obj) {
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(str_obj));
  std::string out(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  // The operating system reads a path up to its first NUL: kept, it would make
  // us use another path than the one given. Refused as the interpreter's own
  // file functions refuse it.
  if (out.find('\0') != std::string::npos) raise_value_error("embedded null byte");
  return out;
}

}  // namespace

std::string to_path(PyObject* obj) {
  Ref path = Ref::steal(PyOS_FSPath(obj));
  if (!PyUnicode_Check(path.get())) raise_not_instance(path.get(), "str");
  return encode_path(path.get());
}

std::string to_str_path(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_not_instance(obj, "str");
  return encode_path(obj);
}

containers::mesh::ElementType parse_element_type(const std::string& name) {
  const auto type = containers::mesh::element_type_from_name(name);
  if (!type) raise_value_error(fmt::format("unknown element type: {}", name));
  return *type;
}

namespace {

// The items of a sequence as they are now, in a tuple of our own (a NULL Ref with
// the interpreter's error set when `obj` cannot be iterated). Converting an item
// may run user code (`__float__`, `__index__`) that changes the caller's list, and
// another thread may change it meanwhile: the converters read this copy, never the
// list's own storage.
Ref sequence_snapshot(PyObject* obj, const char* not_iterable) {
  Ref fast = Ref::steal_or_null(PySequence_Fast(obj, not_iterable));
  // PySequence_Fast hands back an exact list itself; any other sequence comes back
  // as a new list nobody else sees.
  if (!fast || fast.get() != obj || !PyList_CheckExact(obj)) return fast;
  return Ref::steal_or_null(PyList_AsTuple(obj));
}

}  // namespace

Ref detail::sequence_items(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_not_instance(obj, "Sequence");
  Ref items = sequence_snapshot(obj, "expected a sequence");
  if (!items) throw ErrorAlreadySet{};
  return items;
}

Ref to_tuple_n(PyObject* obj, Py_ssize_t n) {
  if (!PyTuple_Check(obj)) raise_not_instance(obj, "tuple");
  if (PyTuple_GET_SIZE(obj) != n)
    raise_value_error(fmt::format("expected tuple of length {}, but got tuple of length {}", n, PyTuple_GET_SIZE(obj)));
  return Ref::borrow(obj);
}

std::vector<double> to_f64_list(PyObject* obj) { return to_list(obj, to_f64); }
std::vector<std::string> to_str_list(PyObject* obj) { return to_list(obj, to_str); }

std::vector<std::string> extract_components(PyObject* obj) {
  auto fail = [] { raise_type_error("components: expected a str or a list of str"); };
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) {
      PyErr_Clear();
      fail();
    }
    return {std::string(data, static_cast<std::size_t>(size))};
  }
  if (!PySequence_Check(obj)) fail();
  Ref seq = sequence_snapshot(obj, "components");
  if (!seq) {
    PyErr_Clear();
    fail();
  }
  std::vector<std::string> names;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) fail();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (!data) {
      PyErr_Clear();
      fail();
    }
    names.emplace_back(data, static_cast<std::size_t>(size));
  }
  return names;
}

Ref from_str(std::string_view s) {
  // Texts from the core are UTF-8; invalid bytes (a path, say) are kept by surrogateescape.
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}
Ref from_f64(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref from_u64(std::uint64_t v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
Ref from_i64(std::int64_t v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref from_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

Ref list_from(const std::vector<double>& values) { return list_from(values, from_f64); }
Ref list_from(const std::vector<std::uint32_t>& values) {
  return list_from(values, [](std::uint32_t v) { return from_u64(v); });
}
Ref list_from(const std::vector<std::uint64_t>& values) { return list_from(values, from_u64); }
Ref list_from(const std::vector<std::string>& values) {
  return list_from(values, [](const std::string& v) { return from_str(v); });
}

std::vector<std::uint64_t> slice_positions(PyObject* slice, Py_ssize_t n) {
  Py_ssize_t start = 0;
  Py_ssize_t stop = 0;
  Py_ssize_t step = 0;
  check(PySlice_Unpack(slice, &start, &stop, &step));
  const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
  std::vector<std::uint64_t> positions;
  positions.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) positions.push_back(static_cast<std::uint64_t>(start + i * step));
  return positions;
}

std::int64_t index_key(PyObject* key, std::string_view class_name) {
  Ref index = Ref::steal_or_null(PyNumber_Index(key));
  long long v = -1;
  if (index) v = PyLong_AsLongLong(index.get());
  if (!index || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    raise_type_error(fmt::format("{} indices must be integers or slices", class_name));
  }
  return v;
}

std::uint64_t checked_position(std::int64_t key, std::uint64_t n, std::string_view what) {
  const std::int64_t p = key < 0 ? key + static_cast<std::int64_t>(n) : key;
  if (p < 0 || static_cast<std::uint64_t>(p) >= n)
    raise_index_error(fmt::format("{} index {} out of range (len={})", what, key, n));
  return static_cast<std::uint64_t>(p);
}

std::int64_t idx_key(PyObject* key) {
  try {
    return to_i64(key);
  } catch (const ErrorAlreadySet&) {
    rethrow_as_argument_error("idx");
  }
}

}  // namespace quenlith::py
