#include "ops/mesher/quadratic.hpp"

#include <cmath>
#include <unordered_map>
#include <vector>

#include "containers/mesh/node.hpp"
#include "containers/mesh/node_refs.hpp"
#include "containers/mesh/rewrite.hpp"
#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::SubMeshSnapshot;
using containers::mesh::check_new_points;
using containers::mesh::finite_points;
using containers::mesh::snapshot;
using containers::mesh::rewrite_submeshes;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using Edge = std::array<std::uint8_t, 2>;

namespace {

constexpr Edge kSegEdges[] = {{0, 1}};
constexpr Edge kTriEdges[] = {{0, 1}, {1, 2}, {2, 0}};
constexpr Edge kQuaEdges[] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}};
constexpr Edge kTetEdges[] = {{0, 1}, {1, 2}, {2, 0}, {0, 3}, {1, 3}, {2, 3}};
constexpr Edge kPentaEdges[] = {{0, 1}, {1, 2}, {2, 0}, {3, 4}, {4, 5}, {5, 3}, {0, 3}, {1, 4}, {2, 5}};
constexpr Edge kHexEdges[] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                              {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};

// (a + b) / 2 as (a + b) * 0.5, unless the sum overflows (two finite values beyond
// half the largest double): then a * 0.5 + b * 0.5, finite for any finite a and b.
// Halving is exact but below the normal range, where the sum is not needed.
double midpoint(double a, double b) noexcept {
  const double mid = (a + b) * 0.5;
  return std::isfinite(mid) ? mid : a * 0.5 + b * 0.5;
}

// Refuses a mesh with a non-finite corner before any mid node is made: "{op}: node {}
// has a non-finite coordinate". Submeshes are checked in order up to the first without
// a quadratic counterpart, which is refused when the rewrite reaches it.
void check_corners(const Mesh& mesh) {
  const store::Handle<Coords> coords = mesh.coords();
  // Each corner once, in order of first use; a flag per id, no sort.
  std::vector<NodeId> ids;
  std::vector<bool> listed;
  for (const auto& sub : mesh.subs()) {
    const SubMeshSnapshot snap = snapshot(sub);
    if (!quadratic_counterpart(snap.element_type)) break;
    for (const NodeId id : snap.connectivity) {
      if (id >= listed.size()) listed.resize(std::size_t{id} + 1);
      if (listed[id]) continue;
      listed[id] = true;
      ids.push_back(id);
    }
  }
  std::size_t dim = 0;
  (void)finite_points("to_quadratic", coords, ids, dim);
}

// The node of each edge met so far, holding the call's reference on it.
class MidNodes {
 public:
  explicit MidNodes(store::Handle<Coords> coords) : coords_(std::move(coords)) {}

  NodeId at(NodeId g, NodeId p) {
    const std::uint64_t key = g < p ? (std::uint64_t{g} << 32 | p) : (std::uint64_t{p} << 32 | g);
    const auto found = table_.find(key);
    if (found != table_.end()) return found->second.id();
    std::vector<double> mid;
    {
      store::ReadGuard<Coords> guard = store::read(coords_);
      const Coords& c = *guard;
      QUENLITH_VERIFY(c.is_alive(g), "node {} not found or collected", g);
      QUENLITH_VERIFY(c.is_alive(p), "node {} not found or collected", p);
      const std::span<const double> buf = c.active_buffer();
      const std::size_t d = c.dim();
      mid.resize(d);
      for (std::size_t k = 0; k < d; ++k) mid[k] = midpoint(buf[g * d + k], buf[p * d + k]);
    }
    // The corners were checked finite; one changed since would give a non-finite node.
    check_new_points("to_quadratic", mid, mid.size());
    Node node = Node::create(coords_, mid);
    const NodeId id = node.id();
    table_.emplace(key, std::move(node));
    return id;
  }

 private:
  store::Handle<Coords> coords_;
  std::unordered_map<std::uint64_t, Node> table_;
};

}  // namespace

std::optional<ElementType> quadratic_counterpart(ElementType t) {
  switch (t) {
    case ElementType::SEG2: return ElementType::SEG3;
    case ElementType::TRI3: return ElementType::TRI6;
    case ElementType::QUA4: return ElementType::QUA8;
    case ElementType::TET4: return ElementType::TET10;
    case ElementType::PENTA6: return ElementType::PENTA15;
    case ElementType::HEX8: return ElementType::HEX20;
    default: return std::nullopt;
  }
}

std::span<const Edge> quadratic_edges(ElementType t) {
  switch (t) {
    case ElementType::SEG2: return kSegEdges;
    case ElementType::TRI3: return kTriEdges;
    case ElementType::QUA4: return kQuaEdges;
    case ElementType::TET4: return kTetEdges;
    case ElementType::PENTA6: return kPentaEdges;
    case ElementType::HEX8: return kHexEdges;
    default: return {};
  }
}

Mesh to_quadratic(const Mesh& mesh) {
  // Declared before the output so that the call's references go last, after the
  // cells of a partial output have given theirs back.
  std::optional<MidNodes> mids;
  check_corners(mesh);
  return rewrite_submeshes(mesh, [&](const SubMeshSnapshot& in, const store::Handle<Coords>& coords) {
    if (!mids) mids.emplace(coords);
    const auto out_type = quadratic_counterpart(in.element_type);
    QUENLITH_VERIFY(out_type.has_value(),
                    "to_quadratic: {} has no quadratic counterpart (supported: SEG2, TRI3, QUA4, TET4, PENTA6, HEX8)",
                    in.element_type);
    const auto edges = quadratic_edges(in.element_type);
    SubMesh out(*out_type, coords);
    std::vector<NodeId> cell;
    cell.reserve(containers::mesh::nodes_per_cell(*out_type));
    for (std::uint64_t c = 0; c < in.cell_count(); ++c) {
      const auto corners = in.cell(c);
      cell.assign(corners.begin(), corners.end());
      for (const Edge& e : edges) cell.push_back(mids->at(corners[e[0]], corners[e[1]]));
      out.add_cell(cell);
    }
    return out;
  });
}

}  // namespace quenlith::ops::mesher
