#include "py/bind/signature.hpp"

#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "py/bind/errors.hpp"

namespace quenlith::py {

bool Param::none_is_absent() const noexcept {
  return default_text != nullptr && std::strcmp(default_text, "None") == 0;
}

std::string Signature::full_name() const {
  if (owner) return fmt::format("{}.{}()", owner, name);
  return fmt::format("{}()", name);
}

std::size_t Signature::n_required() const noexcept {
  std::size_t n = 0;
  for (const Param& p : params) n += p.required() ? 1 : 0;
  return n;
}

const char* Signature::doc() const {
  // Doc texts are built once per signature and never freed: the interpreter
  // keeps pointers to them in method tables and type objects.
  static std::mutex mutex;
  static std::deque<std::pair<const Signature*, std::string>> texts;
  std::lock_guard lock(mutex);
  for (const auto& [sig, text] : texts)
    if (sig == this) return text.c_str();
  std::string line = receiver == Receiver::Constructor ? std::string(owner) : std::string(name);
  line += '(';
  bool first = true;
  auto sep = [&] {
    if (!first) line += ", ";
    first = false;
  };
  if (receiver == Receiver::Self) sep(), line += "$self";
  if (receiver == Receiver::Cls) sep(), line += "$cls";
  for (const Param& p : params) {
    sep();
    line += p.name;
    if (p.default_text) {
      line += '=';
      line += p.default_text;
    }
  }
  line += ")\n--\n\n";
  line += description;
  texts.emplace_back(this, std::move(line));
  return texts.back().second.c_str();
}

namespace {

[[noreturn]] void too_many(const Signature& sig, std::size_t given) {
  const std::size_t total = sig.params.size();
  const std::size_t required = sig.n_required();
  const char* verb = given == 1 ? "was" : "were";
  if (required == total)
    raise_type_error(fmt::format("{} takes {} positional arguments but {} {} given", sig.full_name(), total, given,
                                 verb));
  raise_type_error(fmt::format("{} takes from {} to {} positional arguments but {} {} given", sig.full_name(),
                               required, total, given, verb));
}

[[noreturn]] void missing(const Signature& sig, const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += fmt::format("'{}'", names[i]);
  }
  raise_type_error(fmt::format("{} missing {} required positional {}: {}", sig.full_name(), names.size(),
                               names.size() == 1 ? "argument" : "arguments", list));
}

// The keyword's text; a keyword that is not valid text can match no parameter.
std::string_view keyword_text(PyObject* key) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (!data) {
    PyErr_Clear();
    return {};
  }
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

BoundArgs bind(const Signature& sig, PyObject* const* positional, std::size_t n_positional, PyObject* const* keys,
               PyObject* const* values, std::size_t n_keywords) {
  BoundArgs out;
  const std::size_t n_params = sig.params.size();
  // A table with more parameters than BoundArgs holds is a fault of ours, not of the caller.
  if (n_params > kMaxParams)
    raise(PyExc_SystemError, fmt::format("{} has more than {} parameters", sig.full_name(), kMaxParams));
  out.n_ = n_params;
  if (n_positional > n_params) too_many(sig, n_positional);
  for (std::size_t i = 0; i < n_positional; ++i) out.values_[i] = positional[i];
  for (std::size_t k = 0; k < n_keywords; ++k) {
    const std::string_view key = keyword_text(keys[k]);
    std::size_t found = n_params;
    for (std::size_t i = 0; i < n_params; ++i)
      if (key == sig.params[i].name) {
        found = i;
        break;
      }
    if (found == n_params) {
      PyObject* shown = PyObject_Str(keys[k]);
      std::string text;
      if (shown) {
        const char* s = PyUnicode_AsUTF8(shown);
        if (s) text = s;
        Py_DECREF(shown);
      }
      PyErr_Clear();
      raise_type_error(fmt::format("{} got an unexpected keyword argument '{}'", sig.full_name(), text));
    }
    if (out.values_[found])
      raise_type_error(fmt::format("{} got multiple values for argument '{}'", sig.full_name(), key));
    out.values_[found] = values[k];
  }
  std::vector<const char*> absent;
  for (std::size_t i = 0; i < n_params; ++i)
    if (sig.params[i].required() && !out.values_[i]) absent.push_back(sig.params[i].name);
  if (!absent.empty()) missing(sig, absent);
  for (std::size_t i = 0; i < n_params; ++i)
    if (out.values_[i] == Py_None && sig.params[i].none_is_absent()) out.values_[i] = nullptr;
  return out;
}

BoundArgs match(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const auto n = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::size_t nk = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  PyObject* const* keys = kwnames ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
  return bind(sig, args, n, keys, args + n, nk);
}

BoundArgs match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  std::vector<PyObject*> keys, values;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      keys.push_back(key);
      values.push_back(value);
    }
  }
  return bind(sig, n ? &PyTuple_GET_ITEM(args, 0) : nullptr, n, keys.data(), values.data(), keys.size());
}

}  // namespace quenlith::py
