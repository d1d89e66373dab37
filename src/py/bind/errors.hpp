#pragma once
// The boundary between core errors and Python exceptions.
#include <Python.h>

#include <string_view>

#include "base/error.hpp"
#include "py/bind/ref.hpp"
#include "store/interrupt.hpp"

namespace quenlith::py {

// Sets the Python exception for a core error: KeyboardInterrupt for an
// interruption, RuntimeError with the error's text for every other kind. Nothing
// is chained. Returns NULL for the caller's convenience.
PyObject* error_to_pyerr(const Error& error) noexcept;

// The interruption poll for long core operations: runs the interpreter's pending
// signal handlers; if one raised, its exception is dropped and the poll throws
// Error::interrupted(). Call only on the thread that entered from Python.
store::InterruptCheck interrupt_check();

// Raise helpers: set the exception and throw ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, std::string_view text);
[[noreturn]] void raise_type_error(std::string_view text);
[[noreturn]] void raise_value_error(std::string_view text);
[[noreturn]] void raise_index_error(std::string_view text);
[[noreturn]] void raise_runtime_error(std::string_view text);

}  // namespace quenlith::py
