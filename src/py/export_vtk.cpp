// export_vtk(mesh, path, field=None): a mesh, alone or with a field, as a legacy VTK file.
#include "py/export_vtk.hpp"

#include <string>

#include "containers/mesh/mesh.hpp"
#include "ops/io/vtk.hpp"
#include "ops/io/vtk_element_field.hpp"
#include "ops/io/vtk_node_field.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

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

// The field argument as given: it is told apart in the body, where a wrong kind is
// refused with a message of its own (not an argument error).
PyObject* any_object(PyObject* obj) { return obj; }

void export_vtk(Borrowed<MeshClass> mesh, std::string path, PyObject* field) {
  if (!field) return ops::io::write_vtk_mesh(*mesh, path);
  if (is_instance<NodeFieldClass>(field))
    return ops::io::write_vtk_node_field(*mesh, *Borrowed<NodeFieldClass>(field), path);
  if (is_instance<ElementFieldClass>(field))
    return ops::io::write_vtk_element_field(*mesh, *Borrowed<ElementFieldClass>(field), path);
  raise_type_error("field must be a NodeField or an ElementField");
}

}  // namespace

PyMethodDef export_vtk_def = function<export_vtk_sig, export_vtk, borrow<MeshClass>, to_str_path, any_object>();

}  // namespace quenlith::py
