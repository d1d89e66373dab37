#pragma once
// The module functions of the operator assembly: stiffness, mass, assemble,
// geometric and tangent.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef stiffness_def;
extern PyMethodDef mass_def;
extern PyMethodDef assemble_def;
extern PyMethodDef geometric_def;
extern PyMethodDef tangent_def;

}  // namespace quenlith::py
