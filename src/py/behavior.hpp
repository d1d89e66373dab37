#pragma once
// The module function integrate_behavior.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef integrate_behavior_def;

}  // namespace quenlith::py
