#pragma once
// Module functions computing fields from fields: element-wise functions, scalar
// products, masks, component filtering and renaming.
#include <Python.h>

namespace quenlith::py {

extern PyMethodDef coordinates_def;
extern PyMethodDef set_coordinates_def;
extern PyMethodDef displace_def;
extern PyMethodDef restrict_def;
extern PyMethodDef restrict_like_def;
extern PyMethodDef select_def;
extern PyMethodDef mask_def;
extern PyMethodDef filter_components_def;
extern PyMethodDef rename_component_def;
extern PyMethodDef merge_def;
extern PyMethodDef divergence_def;
extern PyMethodDef integral_def;
extern PyMethodDef xty_def;
extern PyMethodDef xtx_def;
extern PyMethodDef psca_def;
extern PyMethodDef abs_def;
extern PyMethodDef sqrt_def;
extern PyMethodDef exp_def;
extern PyMethodDef log_def;
extern PyMethodDef log10_def;
extern PyMethodDef cos_def;
extern PyMethodDef sin_def;
extern PyMethodDef tan_def;
extern PyMethodDef sinh_def;
extern PyMethodDef cosh_def;
extern PyMethodDef tanh_def;

}  // namespace quenlith::py
