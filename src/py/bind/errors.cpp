#include "py/bind/errors.hpp"

#include <string>

namespace quenlith::py {

PyObject* error_to_pyerr(const Error& error) noexcept {
  try {
    const std::string text = error.text();
    PyObject* type = error.kind() == Error::Kind::Interrupted ? PyExc_KeyboardInterrupt : PyExc_RuntimeError;
    // A deferred exception: the interpreter makes the object when it raises it.
    PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!msg) return nullptr;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
  } catch (...) {
    PyErr_NoMemory();
  }
  return nullptr;
}

store::InterruptCheck interrupt_check() {
  return store::InterruptCheck([] {
    if (PyErr_CheckSignals() != -1) return false;
    // Whatever the handler raised (KeyboardInterrupt, TimeoutError...) is
    // replaced by the interruption error of the operation.
    PyObject* raised = PyErr_GetRaisedException();
    Py_XDECREF(raised);
    return true;
  });
}

void raise(PyObject* type, std::string_view text) {
  PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (msg) {
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
  }
  throw ErrorAlreadySet{};
}
void raise_type_error(std::string_view text) { raise(PyExc_TypeError, text); }
void raise_value_error(std::string_view text) { raise(PyExc_ValueError, text); }
void raise_index_error(std::string_view text) { raise(PyExc_IndexError, text); }
void raise_runtime_error(std::string_view text) { raise(PyExc_RuntimeError, text); }

}  // namespace quenlith::py
