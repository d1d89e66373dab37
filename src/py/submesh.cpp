// The Python class SubMesh: one handle on a stored submesh.
#include <cstdint>
#include <string_view>
#include <tuple>

#include "containers/mesh/cell.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Cell;
using containers::mesh::Node;
using containers::mesh::RgbColor;
using containers::mesh::SubMesh;
using SubMeshHandle = store::Handle<SubMesh>;

namespace {

const Signature submesh_doc_sig{
    "SubMesh", nullptr, Receiver::None, {},
    "A view of one submesh of a `Mesh` (the cells of one element type), obtained by indexing the mesh."};
constexpr Param nodes_params[] = {{"nodes"}};
const Signature add_cell_sig{"add_cell", "SubMesh", Receiver::Self, nodes_params,
                             "Append a cell from its list of nodes; returns the new cell's index."};
const Signature cell_count_sig{"cell_count", "SubMesh", Receiver::Self, {}, "Number of cells in this submesh."};
const Signature duplicate_sig{
    "duplicate", "SubMesh", Receiver::Self, {},
    "Deep-copy into a fresh, **unsealed** SubMesh with the same\n"
    "connectivity — the way to keep editing after this one has been sealed."};
const Signature element_type_sig{"element_type", "SubMesh", Receiver::Self, {},
                                 "Element type name of this submesh (e.g. `\"TRI3\"`)."};
const Signature is_sealed_sig{"is_sealed", "SubMesh", Receiver::Self, {},
                              "Whether this submesh is sealed: `True` once it is used by a\n"
                              "finite-element space, field or matrix, after which `add_cell` fails."};
constexpr Param rgb_params[] = {{"rgb"}};
const Signature face_color_sig{
    "face_color", "SubMesh", Receiver::Self, rgb_params,
    "Face colour as an `(r, g, b)` tuple of bytes.\n\nSet the face colour from an `(r, g, b)` tuple of bytes."};

std::uint64_t add_cell(SubMesh& submesh, const BorrowedList<NodeClass>& nodes) {
  return submesh.add_cell(nodes.payloads());
}

SubMeshHandle duplicate(const SubMeshHandle& handle) {
  // Copied under the read guard, stored once it is gone.
  return store::insert(read_value(handle, [](const SubMesh& m) { return m.duplicate(); }));
}

std::uint64_t cell_count(const SubMesh& submesh) { return submesh.cell_count(); }

Cell item(const SubMeshHandle& handle, std::int64_t idx) {
  const std::uint64_t n = read_value(handle, cell_count);
  return Cell(handle, checked_position(idx, n, "submesh"));
}

std::string_view element_type(const SubMesh& submesh) { return containers::mesh::name(submesh.element_type()); }

std::tuple<std::uint8_t, std::uint8_t, std::uint8_t> face_color(const SubMesh& submesh) {
  const RgbColor c = submesh.face_color();
  return {c.r, c.g, c.b};
}

RgbColor to_rgb(PyObject* obj) {
  Ref tuple = to_tuple_n(obj, 3);
  return {to_u8(PyTuple_GET_ITEM(tuple.get(), 0)), to_u8(PyTuple_GET_ITEM(tuple.get(), 1)),
          to_u8(PyTuple_GET_ITEM(tuple.get(), 2))};
}

void set_face_color(SubMesh& submesh, RgbColor color) { submesh.set_face_color(color); }

TypeDef submesh_type_def() {
  using K = Class<SubMeshClass>;
  static PyMethodDef methods[] = {
      method<SubMeshClass, add_cell_sig, add_cell, borrow_list<NodeClass>>(),
      method<SubMeshClass, cell_count_sig, cell_count>(),
      method<SubMeshClass, duplicate_sig, duplicate>(),
      K::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {
      getter<SubMeshClass, element_type_sig, element_type>(),
      getter<SubMeshClass, is_sealed_sig, &SubMesh::is_sealed>(),
      property<SubMeshClass, face_color_sig, face_color, set_face_color, to_rgb>(),
      kGetSetEnd,
  };
  return K::def("_quenlith.SubMesh", submesh_doc_sig, methods, getset,
                {K::length<cell_count>(), K::items<item>(),
                 Container<MeshClass>::sub_or_slot()});
}

}  // namespace

TypeCache SubMeshClass::type{&submesh_type_def};

}  // namespace quenlith::py
