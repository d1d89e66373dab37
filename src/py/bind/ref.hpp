#pragma once
// Owning and borrowed Python references for the binding layer.
#include <Python.h>

#include <utility>

namespace quenlith::py {

// Thrown by binding code once a Python exception is set; the entry wrapper
// returns NULL to the interpreter, which raises it.
struct ErrorAlreadySet {};

// Throws ErrorAlreadySet when `p` is NULL (an interpreter call failed).
inline PyObject* check(PyObject* p) {
  if (!p) throw ErrorAlreadySet{};
  return p;
}
inline int check(int status) {
  if (status < 0) throw ErrorAlreadySet{};
  return status;
}

// A move-only owned (strong) reference. Borrowed references are plain PyObject*.
class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference; throws ErrorAlreadySet when it is NULL.
  static Ref steal(PyObject* p) { return Ref(check(p)); }
  static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (usually the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quenlith::py
