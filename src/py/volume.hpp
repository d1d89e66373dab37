#pragma once
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef volume_def;
}  // namespace quenlith::py
