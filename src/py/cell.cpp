// The Python class Cell: a read-only view of one cell of a submesh.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "containers/mesh/cell.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "dump/number_format.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::mesh::Cell;
using containers::mesh::Coords;
using containers::mesh::Node;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

const Signature cell_doc_sig{
    "Cell", nullptr, Receiver::None, {},
    "A read-only view of one cell (the ordered nodes of one element), from `submesh[i]` or "
    "`mesh.cell(submesh, cell)`; its length is its node count and iterating it yields its `Node`s."};
const Signature nodes_sig{"nodes", "Cell", Receiver::Self, {}, "Materialised nodes (each one refcounted on the\nCoords)."};
const Signature index_sig{"index", "Cell", Receiver::Self, {}, "Index of this cell within its submesh."};
const Signature element_type_sig{"element_type", "Cell", Receiver::Self, {},
                                 "Element type name of this cell (e.g. `\"TRI3\"`)."};

std::uint64_t length(const Cell& cell) { return SubMesh::nodes_per_cell(cell.submesh()); }

Node item(const Cell& cell, std::int64_t idx) {
  store::Handle<Coords> coords;
  NodeId ids[containers::mesh::kMaxNodesPerCell];
  std::size_t k = 0;
  {
    store::ReadGuard<SubMesh> guard = store::read(cell.submesh());
    const auto nodes = guard->cell(cell.index());
    k = std::min(nodes.size(), std::size(ids));
    std::copy_n(nodes.begin(), k, ids);
    coords = guard->coords();
  }
  // Checked once the guard is gone: raising makes a Python object.
  const NodeId id = ids[checked_position(idx, k, "cell")];
  return Node::acquire(std::move(coords), id);
}

std::string_view element_type(const Cell& cell) {
  return containers::mesh::name(read_value(cell.submesh(), [](const SubMesh& m) { return m.element_type(); }));
}

TypeDef cell_type_def() {
  using K = Class<CellClass>;
  static PyMethodDef methods[] = {
      method<CellClass, nodes_sig, &Cell::nodes>(),
      K::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {
      getter<CellClass, index_sig, &Cell::index>(),
      getter<CellClass, element_type_sig, element_type>(),
      kGetSetEnd,
  };
  return K::def("_quenlith.Cell", cell_doc_sig, methods, getset, {K::length<length>(), K::items<item>()});
}

}  // namespace

TypeCache CellClass::type{&cell_type_def};

std::string CellClass::dump_text(const Payload& cell, const dump::DumpOptions& options) {
  // The table formats coordinates: refuse a precision the formatter cannot honour
  // rather than print it as the cell's error.
  dump::check_dump_precision(options.precision);
  return cell.dump_text(options);
}

}  // namespace quenlith::py
