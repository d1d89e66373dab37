#include "py/container.hpp"

namespace quenlith::py {

Error not_unitary_error(std::string_view container, std::string_view items, std::uint64_t count) {
  return Error::message("expected a unitary {} (exactly one {}), found {}", container, items, count);
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

}  // namespace quenlith::py
