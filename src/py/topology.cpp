// border, skin, orient, merge_nodes and consolidate: mesh-to-mesh topology tools.
//
// Each entry converts every argument first (a float conversion may run user
// code), then holds the mesh shared while the core reads it, and wraps the new
// Mesh once the hold is given back.
#include "py/topology.hpp"

#include <optional>

#include "containers/mesh/mesh.hpp"
#include "ops/mesher/border.hpp"
#include "ops/mesher/consolidate.hpp"
#include "ops/mesher/merge_nodes.hpp"
#include "ops/mesher/orient.hpp"
#include "ops/mesher/skin.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/hold.hpp"
#include "py/mesh.hpp"
#include "py/object.hpp"
#include "py/signature.hpp"

namespace quenlith::py {

using containers::mesh::Mesh;

namespace {

constexpr Param mesh_params[] = {{"mesh"}};
constexpr Param skin_params[] = {{"mesh"}, {"angle_deg", "None"}};
constexpr Param merge_nodes_params[] = {{"mesh"}, {"tol"}};
constexpr Param consolidate_params[] = {{"obj"}};

const Signature border_sig{
    "border", nullptr, Receiver::None, mesh_params,
    "Extract the boundary of a surface mesh (TRI3/QUA4) as closed SEG2 loops.\n\n"
    "An edge used by exactly one cell is a boundary edge; it keeps the direction in\n"
    "which its cell runs through it, so with counter-clockwise cells the outer loop\n"
    "runs counter-clockwise and every hole clockwise. Returns a new Mesh with one\n"
    "SEG2 submesh per loop (none for a closed surface), on the input's nodes.\n"
    "POI1 submeshes are ignored."};
const Signature skin_sig{
    "skin", nullptr, Receiver::None, skin_params,
    "Extract the boundary surface (skin) of a volume mesh, split by flat face.\n\n"
    "The facets of TET4, PENTA6 and HEX8 cells used by exactly one cell form the\n"
    "skin, in their cells' outward orientation. Neighbouring facets whose normals\n"
    "differ by at most `angle_deg` degrees (default 1) join one face; each face\n"
    "gives a TRI3 and/or a QUA4 submesh of a new Mesh on the input's nodes."};
const Signature orient_sig{
    "orient", nullptr, Receiver::None, mesh_params,
    "Harmonise the orientation of a mesh's cells.\n\n"
    "Cells that share a facet are made to run through it in opposite directions\n"
    "(one side for surface normals, segments head to tail, one handedness for\n"
    "volume cells); each connected piece keeps the orientation of its first cell.\n"
    "Returns a new Mesh with the same submeshes, types, colours and cell order on\n"
    "the input's nodes; use invert() to flip the whole result."};
const Signature merge_nodes_sig{
    "merge_nodes", nullptr, Receiver::None, merge_nodes_params,
    "Weld the nodes of a mesh closer than `tol` together.\n\n"
    "The connectivity is redirected to one representative per cluster; the result\n"
    "mirrors `mesh` (same submeshes, types and colours). The representative keeps\n"
    "its own coordinates (no averaging), and cells that collapse onto a repeated\n"
    "node are dropped. `tol` must be >= 0; `tol = 0` welds only exactly coincident\n"
    "nodes. `mesh` itself is left untouched."};
const Signature consolidate_sig{
    "consolidate", nullptr, Receiver::None, consolidate_params,
    "Consolidate a container: fuse its redundant sub-objects « au plus juste ».\n\n"
    "Dispatches on the argument's type. A Mesh gets its submeshes of the same\n"
    "element type fused and its duplicate cells dropped. A NodeField gets its zones\n"
    "with the same component set fused and its interface nodes deduplicated after a\n"
    "coherence check. An ElementField gets its zones sharing the same finite-element\n"
    "space support fused into a single zone carrying the union of their components,\n"
    "shared components having to agree value by value: this merges per-physics\n"
    "material zones built on one shared space into a single material field readable\n"
    "by every physics."};

ObjectBase* base_of(PyObject* obj) { return reinterpret_cast<ObjectBase*>(obj); }

// Runs `op(mesh)` with the mesh object held shared; the new Mesh is wrapped after
// the hold is given back.
template <class Op>
Ref run_on_mesh(PyObject* obj, const Mesh& mesh, Op&& op) {
  Mesh result;
  {
    SharedHold hold(base_of(obj));
    result = op(mesh);
  }
  return wrap_mesh(std::move(result));
}

// A function of the mesh alone.
template <const Signature& Sig, Mesh (*Op)(const Mesh&)>
Ref mesh_to_mesh(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(Sig, args, nargsf, kwnames);
  const Mesh& mesh = arg(Sig, bound, 0, mesh_value);
  return run_on_mesh(bound[0], mesh, Op);
}

Ref skin_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(skin_sig, args, nargsf, kwnames);
  const Mesh& mesh = arg(skin_sig, bound, 0, mesh_value);
  std::optional<double> angle_deg;
  if (bound.has(1)) angle_deg = arg(skin_sig, bound, 1, to_f64);
  return run_on_mesh(bound[0], mesh, [&](const Mesh& m) { return ops::mesher::skin(m, angle_deg); });
}

Ref merge_nodes_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(merge_nodes_sig, args, nargsf, kwnames);
  const Mesh& mesh = arg(merge_nodes_sig, bound, 0, mesh_value);
  const double tol = arg(merge_nodes_sig, bound, 1, to_f64);
  return run_on_mesh(bound[0], mesh, [&](const Mesh& m) { return ops::mesher::merge_nodes(m, tol); });
}

Ref consolidate_impl(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(consolidate_sig, args, nargsf, kwnames);
  PyObject* obj = bound[0];
  if (auto* mesh = instance_or_null<Mesh>(obj, mesh_type))
    return run_on_mesh(obj, mesh->payload, ops::mesher::consolidate_mesh);
  raise_type_error("expected a Mesh, a NodeField or an ElementField");
}

}  // namespace

PyMethodDef border_def = method_def<mesh_to_mesh<border_sig, ops::mesher::border>>("border", border_sig.doc());
PyMethodDef skin_def = method_def<skin_impl>("skin", skin_sig.doc());
PyMethodDef orient_def = method_def<mesh_to_mesh<orient_sig, ops::mesher::orient>>("orient", orient_sig.doc());
PyMethodDef merge_nodes_def = method_def<merge_nodes_impl>("merge_nodes", merge_nodes_sig.doc());
PyMethodDef consolidate_def = method_def<consolidate_impl>("consolidate", consolidate_sig.doc());

}  // namespace quenlith::py
