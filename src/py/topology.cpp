// border, skin, orient, merge_nodes and consolidate: mesh-to-mesh topology tools
// (consolidate also takes node and element fields).
//
// The mesh is held shared from its conversion until the call returns; the core
// reads its submeshes under guards of its own and returns a new Mesh.
#include "py/topology.hpp"

#include <optional>

#include "containers/mesh/mesh.hpp"
#include "containers/field/consolidate.hpp"
#include "ops/mesher/border.hpp"
#include "ops/mesher/consolidate.hpp"
#include "ops/mesher/merge_nodes.hpp"
#include "ops/mesher/orient.hpp"
#include "ops/mesher/skin.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

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

using MeshArg = Borrowed<MeshClass>;

Mesh border(const MeshArg& mesh) { return ops::mesher::border(*mesh); }
Mesh orient(const MeshArg& mesh) { return ops::mesher::orient(*mesh); }
Mesh skin(const MeshArg& mesh, std::optional<double> angle_deg) { return ops::mesher::skin(*mesh, angle_deg); }
Mesh merge_nodes(const MeshArg& mesh, double tol) { return ops::mesher::merge_nodes(*mesh, tol); }

// The object itself: which operation applies depends on its class.
PyObject* any_object(PyObject* obj) { return obj; }

Ref consolidate(PyObject* obj) {
  if (is_instance<MeshClass>(obj)) return to_python(ops::mesher::consolidate_mesh(*borrow<MeshClass>(obj)));
  if (is_instance<NodeFieldClass>(obj)) return to_python(containers::field::consolidate_node(*borrow<NodeFieldClass>(obj)));
  if (is_instance<ElementFieldClass>(obj))
    return to_python(containers::field::consolidate_element(*borrow<ElementFieldClass>(obj)));
  raise_type_error("expected a Mesh, a NodeField or an ElementField");
}

}  // namespace

PyMethodDef border_def = function<border_sig, border, borrow<MeshClass>>();
PyMethodDef skin_def = function<skin_sig, skin, borrow<MeshClass>, opt<to_f64>>();
PyMethodDef orient_def = function<orient_sig, orient, borrow<MeshClass>>();
PyMethodDef merge_nodes_def = function<merge_nodes_sig, merge_nodes, borrow<MeshClass>, to_f64>();
PyMethodDef consolidate_def = function<consolidate_sig, consolidate, any_object>();

}  // namespace quenlith::py
