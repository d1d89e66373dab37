#pragma once
// Module functions that generate and transform meshes: line, circle, arc,
// to_quadratic, convert, invert; the point meshes and barycenter.
#include <Python.h>

namespace quenlith::py {
extern PyMethodDef line_def;
extern PyMethodDef circle_def;
extern PyMethodDef arc_def;
extern PyMethodDef to_quadratic_def;
extern PyMethodDef convert_def;
extern PyMethodDef invert_def;
extern PyMethodDef to_poi1_def;
extern PyMethodDef from_live_nodes_def;
extern PyMethodDef poi1_from_nodes_def;
extern PyMethodDef barycenter_def;
}  // namespace quenlith::py
