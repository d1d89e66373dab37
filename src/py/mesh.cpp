// The Python class Mesh: a container of SubMesh handles on one Coords.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "containers/mesh/cell.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Cell;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::SubMesh;

namespace {

constexpr Param mesh_new_params[] = {{"coords"}, {"element_type", "None"}};
const Signature mesh_new_sig{"__new__", "Mesh", Receiver::Constructor, mesh_new_params,
                             "A collection of submeshes, each holding the cells of one element type; the constructor "
                             "makes one zone, `|` composes meshes, and indexing reaches a `SubMesh`."};
const Signature element_types_sig{"element_types", "Mesh", Receiver::Self, {},
                                  "Element type name of each submesh, in order."};
const Signature cell_counts_sig{"cell_counts", "Mesh", Receiver::Self, {}, "Number of cells in each submesh, in order."};
const Signature duplicate_sig{
    "duplicate", "Mesh", Receiver::Self, {},
    "Deep-copy the whole mesh into fresh, **unsealed** submeshes with the\n"
    "same connectivity — editable again even if the source was sealed by\n"
    "consumers. Nodes are shared (same `Coords`)."};
constexpr Param node_params[] = {{"submesh_idx"}, {"cell_idx"}, {"node_idx"}};
const Signature node_sig{"node", "Mesh", Receiver::Self, node_params,
                         "The `node_idx`-th node of cell `cell_idx` in submesh `submesh_idx`."};
constexpr Param point_params[] = {{"point"}};
const Signature nearest_node_sig{
    "nearest_node", "Mesh", Receiver::Self, point_params,
    "The mesh node closest (Euclidean distance) to `point`.\n"
    "\n"
    "`point` must have the mesh coordinate dimension. Only nodes referenced\n"
    "by a cell are considered; ties break to the smaller node id."};
constexpr Param cell_params[] = {{"submesh_idx"}, {"cell_idx"}};
const Signature cell_sig{"cell", "Mesh", Receiver::Self, cell_params,
                         "`mesh.cell(submesh_idx, cell_idx)` → `Cell` view; same thing\n"
                         "as `mesh[submesh_idx][cell_idx]`."};
const Signature cell_count_sig{"cell_count", "Mesh", Receiver::Self, {}, "Total number of cells across all submeshes."};
const Signature coords_sig{
    "coords", "Mesh", Receiver::Self, {},
    "The `Coords` this mesh hangs off (all submeshes share it).\n"
    "\n"
    "A safety net to get the handle back when it has been dropped on the\n"
    "Python side — e.g. after `read_gmsh(coords, …)` if `coords` went out\n"
    "of scope. Raises if the mesh has no submesh yet (no `Coords` to take)."};

Mesh make_mesh(const Borrowed<CoordsClass>& coords, const std::optional<std::string>& element_type) {
  if (!element_type) return Mesh();
  return Mesh::from_submesh(SubMesh(parse_element_type(*element_type), *coords));
}

std::vector<std::string_view> element_types(const Mesh& mesh) {
  std::vector<std::string_view> names;
  for (ElementType t : mesh.element_types()) names.push_back(containers::mesh::name(t));
  return names;
}

Cell cell(const Mesh& mesh, std::uint64_t submesh_idx, std::uint64_t cell_idx) {
  return Cell(mesh.sub_at(submesh_idx), cell_idx);
}

TypeDef mesh_type_def() {
  static const PyMethodDef methods[] = {
      method<MeshClass, element_types_sig, element_types>(),
      method<MeshClass, cell_counts_sig, &Mesh::cell_counts>(),
      method<MeshClass, duplicate_sig, &Mesh::duplicate>(),
      method<MeshClass, node_sig, &Mesh::node, to_u64, to_u64, to_u64>(),
      method<MeshClass, nearest_node_sig, &Mesh::nearest_node, to_f64_list>(),
      method<MeshClass, cell_sig, cell, to_u64, to_u64>(),
      method<MeshClass, cell_count_sig, &Mesh::cell_count>(),
      method<MeshClass, coords_sig, &Mesh::coords>(),
  };
  return Container<MeshClass>::def(
      "_quenlith.Mesh", mesh_new_sig, methods,
      {{constructor<MeshClass, mesh_new_sig, make_mesh, borrow<CoordsClass>, opt<to_str>>()}});
}

}  // namespace

TypeCache MeshClass::type{&mesh_type_def};

}  // namespace quenlith::py
