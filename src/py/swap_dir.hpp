#pragma once
// The module functions set_swap_dir(path) and swap_dir().
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef set_swap_dir_def;
extern PyMethodDef swap_dir_def;
}  // namespace quenlith::py
