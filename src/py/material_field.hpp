#pragma once
// The module functions that build material fields: sub_material_field,
// material_field and material_field_per_sub_model.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef sub_material_field_def;
extern PyMethodDef material_field_def;
extern PyMethodDef material_field_per_sub_model_def;

}  // namespace quenlith::py
