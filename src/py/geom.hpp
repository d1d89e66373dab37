#pragma once
// Module functions of the geometric queries: elements_on.
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef elements_on_def;
}  // namespace quenlith::py
