#pragma once
// The Python classes Mesh (a container of SubMesh handles, through the shared
// container protocol), SubMesh (one handle on a stored submesh) and Cell (a view
// of one cell), the `|` of Node, and the SubMesh-or-unitary-Mesh converter.
#include <Python.h>

#include "containers/mesh/cell.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "store/handle.hpp"

namespace quenlith::py {

extern TypeCache mesh_type;
extern TypeCache submesh_type;
extern TypeCache cell_type;

// New Python objects taking over the value or handle.
Ref wrap_mesh(containers::mesh::Mesh mesh);
Ref wrap_submesh(store::Handle<containers::mesh::SubMesh> handle);
Ref wrap_cell(containers::mesh::Cell cell);

// The Mesh value of a Python Mesh, lent for as long as `obj` lives and is not
// changed by add_sub (hold `obj` shared while using it: SharedHold on
// reinterpret_cast<ObjectBase*>(obj)); TypeError "'{}' object is not an instance of
// 'Mesh'" (or the None form) otherwise.
const containers::mesh::Mesh& mesh_value(PyObject* obj);
// The handle of a Python SubMesh, lent likewise; TypeError naming 'SubMesh' otherwise.
const store::Handle<containers::mesh::SubMesh>& submesh_handle(PyObject* obj);

// SubMesh::extract_or_unit: a new counted handle from a SubMesh, or from a Mesh with
// exactly one submesh (else RuntimeError "expected a unitary Mesh (exactly one
// submesh(es)), found {}"); TypeError "expected a SubMesh or a unitary Mesh" for
// anything else.
store::Handle<containers::mesh::SubMesh> submesh_extract_or_unit(PyObject* obj);

// The `|` slot (Py_nb_or) of the Node class, for both operand orders:
// node | node -> Mesh of one POI1 submesh of the two nodes; mesh | node ->
// Mesh::or_node; anything else NotImplemented.
PyObject* node_or(PyObject* a, PyObject* b) noexcept;

}  // namespace quenlith::py
