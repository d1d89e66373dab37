#pragma once
// Cell: a view of one cell of a stored SubMesh (not stored itself).
//
// Holds one counted handle on the submesh and the cell index. The index was below
// the submesh's cell count when the view was made; cells are only ever appended,
// so it stays valid for the life of the view.
#include <cstdint>
#include <string>
#include <vector>

#include "containers/mesh/submesh.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {

class Node;

class Cell {
 public:
  // Takes over `submesh`; "cell index {} out of range (cell_count={})" (the handle
  // is released), or the guard's error.
  Cell(store::Handle<SubMesh> submesh, std::uint64_t index);

  const store::Handle<SubMesh>& submesh() const noexcept { return submesh_; }
  std::uint64_t index() const noexcept { return index_; }

  // The cell's k node ids in connectivity order, under a read guard.
  std::vector<NodeId> node_ids() const;
  // One Node per position, each holding one new reference. The first failure
  // releases the Nodes already made and is thrown.
  std::vector<Node> nodes() const;

  // Text forms; none of them fails.
  // "Cell<{}> #{}: [ids]", or "Cell #{}" when the submesh cannot be read.
  std::string display_text() const;
  // Cell { idx: 3 }
  std::string debug_text() const;
  // "Cell<{}> #{}" (or "Cell #{}"), a line feed and the table node | x | y ... of the
  // cell's nodes in order; "{first line}\n<{error}>" when the submesh, the Coords or a
  // node cannot be read.
  std::string dump_text(const dump::DumpOptions& options) const;

 private:
  store::Handle<SubMesh> submesh_;
  std::uint64_t index_;
};

}  // namespace quenlith::containers::mesh
