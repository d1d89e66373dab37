#pragma once
// Module functions of the structured generators and rigid transforms: sweep,
// transfinite, sweep_solid, extrude, translate, rotate.
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef sweep_def;
extern PyMethodDef transfinite_def;
extern PyMethodDef sweep_solid_def;
extern PyMethodDef extrude_def;
extern PyMethodDef translate_def;
extern PyMethodDef rotate_def;
}  // namespace quenlith::py
