#pragma once
// Declarative signatures: one table per function or method drives its doc text
// (signature line, "--", description: what inspect.signature reads) and the
// argument matcher with its exact error texts. Every parameter is
// positional-or-keyword; there are no *args or **kwargs.
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>

namespace quenlith::py {

struct Param {
  const char* name;
  // The default as shown in the signature line ("None", "1e-10", "\"SEG2\"");
  // nullptr for a required parameter.
  const char* default_text = nullptr;
  bool required() const noexcept { return default_text == nullptr; }
  // A parameter whose default is None treats an explicit None as absent.
  bool none_is_absent() const noexcept;
};

enum class Receiver { None, Self, Cls, Constructor };

struct Signature {
  const char* name;         // function or method name ("line", "add_node", "__new__" for a constructor)
  const char* owner;        // class name for methods and constructors, nullptr for module functions
  Receiver receiver;
  std::span<const Param> params;
  const char* description;  // doc text after the signature line

  // "line()" or "Mesh.add_cell()": the name used in argument errors.
  std::string full_name() const;
  // "line(a, b, n_elems, element_type=\"SEG2\")\n--\n\n<description>"; for a
  // constructor the line starts with the class name. The text lives as long as
  // the process (it backs PyMethodDef and type docs).
  const char* doc() const;
  std::size_t n_required() const noexcept;
};

inline constexpr std::size_t kMaxParams = 16;

// The arguments bound to a signature's parameters: borrowed references, NULL
// where absent (an explicit None for a None-default parameter is absent too).
class BoundArgs {
 public:
  PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
  bool has(std::size_t i) const noexcept { return values_[i] != nullptr; }
  std::size_t size() const noexcept { return n_; }

 private:
  friend BoundArgs match(const Signature&, PyObject* const*, Py_ssize_t, PyObject*);
  friend BoundArgs match_tuple(const Signature&, PyObject*, PyObject*);
  friend BoundArgs bind(const Signature&, PyObject* const*, std::size_t, PyObject* const*, PyObject* const*,
                        std::size_t);
  std::array<PyObject*, kMaxParams> values_{};
  std::size_t n_ = 0;
};

// Vectorcall form: `args` holds the positional arguments then the keyword
// values named by the tuple `kwnames` (may be NULL). Raises TypeError with the
// interpreter's wording for missing, surplus and unknown arguments (throws
// ErrorAlreadySet).
BoundArgs match(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// Tuple/dict form (tp_new).
BoundArgs match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

}  // namespace quenlith::py
