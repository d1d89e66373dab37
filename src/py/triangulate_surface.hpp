#pragma once
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef triangulate_surface_def;
}  // namespace quenlith::py
