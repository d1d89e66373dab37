#pragma once
// The module functions of the operator assembly: stiffness, mass, assemble,
// geometric and tangent; the nodal vectors flux, internal_forces and
// internal_forces_continuum.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef stiffness_def;
extern PyMethodDef mass_def;
extern PyMethodDef assemble_def;
extern PyMethodDef geometric_def;
extern PyMethodDef tangent_def;
extern PyMethodDef flux_def;
extern PyMethodDef internal_forces_def;
extern PyMethodDef internal_forces_continuum_def;

}  // namespace quenlith::py
