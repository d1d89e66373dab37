#pragma once
// Entry wrappers: every function, method and slot the interpreter calls goes
// through one of these, which stop every C++ exception at the boundary. Guards,
// holds and references are released by unwinding before the wrapper returns.
#include <Python.h>

#include <new>

#include "py/bind/errors.hpp"
#include "py/bind/ref.hpp"

namespace quenlith::py {

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body().release();
  } catch (const ErrorAlreadySet&) {
    return nullptr;
  } catch (const Error& e) {
    return error_to_pyerr(e);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return nullptr;
  }
}

// Same, for slots that return an int status (0 success, -1 error).
template <class F>
int guarded_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (const ErrorAlreadySet&) {
    return -1;
  } catch (const Error& e) {
    error_to_pyerr(e);
    return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return -1;
  }
}

// Fast-call function/method with keywords: Impl(self, args, nargsf, kwnames) -> Ref.
template <Ref (*Impl)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  return guarded([&] { return Impl(self, args, nargsf, kwnames); });
}

// Function taking no arguments (METH_NOARGS): Impl(self) -> Ref.
template <Ref (*Impl)(PyObject*)>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return Impl(self); });
}

// A PyMethodDef for a fast-call function with keywords.
template <Ref (*Impl)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef method_def(const char* name, const char* doc, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Impl>)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

}  // namespace quenlith::py
