#pragma once
// Module functions of the topology tools: border, skin, orient, merge_nodes and
// consolidate.
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef border_def;
extern PyMethodDef skin_def;
extern PyMethodDef orient_def;
extern PyMethodDef merge_nodes_def;
extern PyMethodDef consolidate_def;
}  // namespace quenlith::py
