// export_vtk(mesh, path, field=None): a mesh, alone or with a field, as a legacy VTK file.
#include "py/export_vtk.hpp"

#include <string>

#include "containers/mesh/mesh.hpp"
#include "ops/export/vtk.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/mesh.hpp"
#include "py/signature.hpp"

namespace quenlith::py {

using containers::mesh::Mesh;

namespace {

constexpr Param export_vtk_params[] = {{"mesh"}, {"path"}, {"field", "None"}};
const Signature export_vtk_sig{
    "export_vtk", nullptr, Receiver::None, export_vtk_params,
    "Write `mesh` to the legacy ASCII VTK file `path` (an UNSTRUCTURED_GRID).\n"
    "\n"
    "With `field=None` only the geometry is written. A `NodeField` is added as\n"
    "POINT_DATA: one scalar array per component, the nodal value at each point. An\n"
    "`ElementField` is added as CELL_DATA: one array per component, the per-cell mean\n"
    "of that cell's Gauss values; an element field must come from a space built on\n"
    "this very mesh. The file is replaced whole: a failed call leaves it as it was."};

Ref export_vtk_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(export_vtk_sig, args, nargsf, kwnames);
  const Mesh& mesh = arg(export_vtk_sig, bound, 0, [](PyObject* o) -> const Mesh& { return mesh_value(o); });
  SharedHold hold(reinterpret_cast<ObjectBase*>(bound[0]));
  const std::string path = arg(export_vtk_sig, bound, 1, to_str_path);
  if (bound.has(2)) raise_type_error("field must be a NodeField or an ElementField");
  ops::vtk::write_vtk_mesh(mesh, path);
  return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef export_vtk_def = method_def<export_vtk_impl>("export_vtk", export_vtk_sig.doc());

}  // namespace quenlith::py
