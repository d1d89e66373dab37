#pragma once
// The module function of beam section strains.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef beam_deformation_def;

}  // namespace quenlith::py
