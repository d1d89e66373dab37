#pragma once
// The module function export_vtk.
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef export_vtk_def;
}  // namespace quenlith::py
