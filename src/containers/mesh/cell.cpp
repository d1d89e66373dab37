#include "containers/mesh/cell.hpp"

#include <fmt/format.h>

#include "containers/mesh/node.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::mesh {


Cell::Cell(store::Handle<SubMesh> submesh, std::uint64_t index) : submesh_(std::move(submesh)), index_(index) {
  std::uint64_t n;
  {
    store::ReadGuard<SubMesh> guard = store::read(submesh_);
    n = guard->cell_count();
  }
  QUENLITH_VERIFY(index < n, "cell index {} out of range (cell_count={})", index, n);
}

std::vector<NodeId> Cell::node_ids() const {
  store::ReadGuard<SubMesh> guard = store::read(submesh_);
  const auto ids = guard->cell(index_);
  return std::vector<NodeId>(ids.begin(), ids.end());
}

std::vector<Node> Cell::nodes() const {
  store::Handle<Coords> coords;
  std::vector<NodeId> ids;
  {
    store::ReadGuard<SubMesh> guard = store::read(submesh_);
    coords = guard->coords();
    const auto cell = guard->cell(index_);
    ids.assign(cell.begin(), cell.end());
  }
  return nodes_from_ids(coords, ids);
}

std::string Cell::display_text() const {
  try {
    store::ReadGuard<SubMesh> guard = store::read(submesh_);
    return fmt::format("Cell<{}> #{}: {}", guard->element_type(), index_,
                       dump::debug_list_of(guard->cell(index_), [](NodeId id) { return std::to_string(id); }));
  } catch (const Error&) {
    return fmt::format("Cell #{}", index_);
  }
}

std::string Cell::debug_text() const { return dump::DebugRecord("Cell").field("idx", std::to_string(index_)).finish(); }

std::string Cell::dump_text(const dump::DumpOptions& options) const {
  std::string first;
  store::Handle<Coords> coords;
  std::vector<NodeId> ids;
  try {
    store::ReadGuard<SubMesh> guard = store::read(submesh_);
    first = fmt::format("Cell<{}> #{}", guard->element_type(), index_);
    coords = guard->coords();
    const auto cell = guard->cell(index_);
    ids.assign(cell.begin(), cell.end());
  } catch (const Error& e) {
    if (first.empty()) first = fmt::format("Cell #{}", index_);
    return first + "\n" + dump::dump_error_item(e);
  }
  try {
    std::vector<std::string> header{"node"};
    std::vector<dump::Row> rows;
    {
      store::ReadGuard<Coords> guard = store::read(coords);
      for (std::size_t a = 0; a < guard->dim(); ++a) header.emplace_back(dump::axis_title(a));
      rows.reserve(ids.size());
      for (NodeId id : ids) {
        const std::vector<double> xyz = guard->coord(id);  // "node {} not found or collected"
        dump::Row row{std::to_string(id)};
        for (double v : xyz) row.push_back(dump::format_dump_cell(v, options));
        rows.push_back(std::move(row));
      }
    }
    return first + "\n" + dump::dump_table(header, rows, options);
  } catch (const Error& e) {
    return first + "\n" + dump::dump_error_item(e);
  }
}

}  // namespace quenlith::containers::mesh
