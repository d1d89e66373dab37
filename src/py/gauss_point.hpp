#pragma once
// Module functions evaluating fields at Gauss points: gradient, deformation,
// interp_to_gauss and thermal_strain.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef gradient_def;
extern PyMethodDef deformation_def;
extern PyMethodDef interp_to_gauss_def;
extern PyMethodDef thermal_strain_def;

}  // namespace quenlith::py
