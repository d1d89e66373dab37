#pragma once
// The module functions read_gmsh and read_gmsh_str.
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef read_gmsh_def;
extern PyMethodDef read_gmsh_str_def;
}  // namespace quenlith::py
