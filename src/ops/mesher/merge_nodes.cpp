#include "ops/mesher/merge_nodes.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "dump/number_format.hpp"
#include "ops/mesher/flat_map.hpp"
#include "ops/mesher/submesh_copy.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::Mesh;
using containers::mesh::NodeId;

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;

// floor(x / h) as a 64-bit key: saturated at both ends, NaN as 0. Keys are added
// to offsets in wrapping arithmetic, so they are kept as unsigned bit patterns.
std::uint64_t grid_key(double x, double h) {
  const double f = std::floor(x / h);
  if (std::isnan(f)) return 0;
  if (f >= 9223372036854775808.0) return static_cast<std::uint64_t>(INT64_MAX);
  if (f < -9223372036854775808.0) return static_cast<std::uint64_t>(INT64_MIN);
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(f));
}

// The distinct referenced ids in increasing order, and id -> representative.
// Dense arrays indexed by id when the ids are not much sparser than the
// connectivity, a hash map otherwise (an id near 2^32 must not size an array).
class NodeTable {
 public:
  explicit NodeTable(const std::vector<SubMeshCopy>& subs) {
    std::uint64_t entries = 0;
    NodeId max_id = 0;
    for (const auto& s : subs) {
      entries += s.connectivity.size();
      for (NodeId id : s.connectivity) max_id = std::max(max_id, id);
    }
    dense_ = entries > 0 && std::uint64_t{max_id} < 4 * entries + 4096;
    if (dense_) {
      rep_dense_.assign(std::size_t{max_id} + 1, kNone);
      for (const auto& s : subs)
        for (NodeId id : s.connectivity) rep_dense_[id] = 0;  // seen
      for (std::size_t id = 0; id < rep_dense_.size(); ++id)
        if (rep_dense_[id] == 0) ids_.push_back(static_cast<NodeId>(id));
    } else {
      for (const auto& s : subs) ids_.insert(ids_.end(), s.connectivity.begin(), s.connectivity.end());
      std::sort(ids_.begin(), ids_.end());
      ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
      rep_hashed_.reserve(ids_.size());
    }
  }

  const std::vector<NodeId>& ids() const noexcept { return ids_; }
  void set(NodeId id, NodeId rep) {
    if (dense_)
      rep_dense_[id] = rep;
    else
      rep_hashed_[id] = rep;
  }
  // Ids missing from the table (a cell added since the table was made) map to
  // themselves.
  NodeId rep(NodeId id) const {
    if (dense_) return id < rep_dense_.size() && rep_dense_[id] != kNone ? rep_dense_[id] : id;
    const auto it = rep_hashed_.find(id);
    return it == rep_hashed_.end() ? id : it->second;
  }

 private:
  bool dense_ = false;
  std::vector<NodeId> ids_;
  std::vector<NodeId> rep_dense_;
  std::unordered_map<NodeId, NodeId> rep_hashed_;
};

// Representatives in grid cells, each cell's in insertion order (a chain through
// `next`).
struct CellChains {
  std::vector<std::uint32_t> head, tail;  // per cell: first and last entry
  std::vector<std::uint32_t> next;        // per entry
  std::vector<NodeId> id;                 // per entry

  std::uint32_t new_cell() {
    head.push_back(kNone);
    tail.push_back(kNone);
    return static_cast<std::uint32_t>(head.size() - 1);
  }
  void append(std::uint32_t cell, NodeId node) {
    const auto e = static_cast<std::uint32_t>(id.size());
    id.push_back(node);
    next.push_back(kNone);
    if (tail[cell] == kNone)
      head[cell] = e;
    else
      next[tail[cell]] = e;
    tail[cell] = e;
  }
};

// Grid cells of up to three key components (unused components 0) -> cell number.
using SmallKey = std::array<std::uint64_t, 3>;
struct SmallKeyHash {
  std::uint64_t operator()(const SmallKey& k) const noexcept {
    return mix64(k[0] ^ mix64(k[1] ^ mix64(k[2] + 0x9E3779B97F4A7C15ull)));
  }
};

// A bit per hashed grid cell, set for every cell that holds a representative:
// about 16 bits per node, so it stays in cache where the grid does not, and most
// of the 3^dim lookups of a node (empty neighbour cells) end here.
class OccupancyFilter {
 public:
  explicit OccupancyFilter(std::size_t expected) {
    const std::size_t n_bits = std::bit_ceil(std::max<std::size_t>(16 * expected, 64));
    bits_.assign(n_bits / 64, 0);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(n_bits));
  }
  void set(std::uint64_t hash) noexcept {
    const std::uint64_t b = hash >> shift_;
    bits_[b / 64] |= std::uint64_t{1} << (b % 64);
  }
  bool maybe(std::uint64_t hash) const noexcept {
    const std::uint64_t b = hash >> shift_;
    return (bits_[b / 64] >> (b % 64)) & 1;
  }

 private:
  std::vector<std::uint64_t> bits_;
  unsigned shift_ = 0;
};

// A trie of key prefixes for dim > 3: (parent, component) -> child. Node 0 is the
// root; the nodes at depth dim are grid cells.
class PrefixTrie {
 public:
  explicit PrefixTrie(std::size_t expected) : children_(expected) {}
  std::uint32_t find(std::uint32_t parent, std::uint64_t comp) const {
    const std::uint32_t* child = children_.find(Edge{parent, comp});
    return child ? *child : kNone;
  }
  std::uint32_t find_or_add(std::uint32_t parent, std::uint64_t comp, CellChains& chains) {
    const auto [child, added] = children_.try_emplace(Edge{parent, comp}, kNone);
    if (added) *child = chains.new_cell();  // inner nodes take a (never used) chain too
    return *child;
  }

 private:
  struct Edge {
    std::uint32_t parent = 0;
    std::uint64_t comp = 0;
    friend bool operator==(const Edge&, const Edge&) = default;
  };
  struct EdgeHash {
    std::uint64_t operator()(const Edge& e) const noexcept {
      return mix64(e.comp ^ mix64(std::uint64_t{e.parent} + 0x9E3779B97F4A7C15ull));
    }
  };
  FlatMap<Edge, std::uint32_t, EdgeHash> children_;
};

class Welder {
 public:
  Welder(const Coords& coords, double tol, std::size_t n_nodes)
      : coords_(coords),
        xyz_(coords.active_buffer()),
        dim_(coords.dim()),
        h_(tol > 0.0 ? tol : 1.0),
        tol2_(tol * tol),
        key_(dim_),
        grid_(dim_ <= 3 ? n_nodes : 0),
        trie_(dim_ <= 3 ? 0 : n_nodes),
        occupied_(dim_ <= 3 ? n_nodes : 0) {
    if (dim_ > 3) chains_.new_cell();  // the trie's root
  }

  // The representative of `x` (x itself when it becomes one).
  NodeId weld(NodeId x) {
    QUENLITH_VERIFY(coords_.is_alive(x), "node {} not found or collected", x);
    const double* p = &xyz_[std::size_t{x} * dim_];
    for (std::size_t k = 0; k < dim_; ++k) key_[k] = grid_key(p[k], h_);
    const NodeId found = dim_ <= 3 ? search_small(p) : search_trie(0, 0, p);
    if (found != kNone) return found;
    chains_.append(dim_ <= 3 ? add_small() : add_trie(), x);
    return x;
  }

 private:
  // The first representative of the cell within tol of p, in insertion order.
  NodeId scan(std::uint32_t cell, const double* p) const {
    for (std::uint32_t e = chains_.head[cell]; e != kNone; e = chains_.next[e]) {
      const NodeId y = chains_.id[e];
      const double* q = &xyz_[std::size_t{y} * dim_];
      double d2 = 0.0;
      for (std::size_t k = 0; k < dim_; ++k) {
        const double d = p[k] - q[k];
        d2 += d * d;
      }
      if (d2 <= tol2_) return y;
    }
    return kNone;
  }

  NodeId search_small(const double* p) {
    const std::size_t n_offsets = dim_ == 1 ? 3 : dim_ == 2 ? 9 : 27;
    for (std::size_t o = 0; o < n_offsets; ++o) {
      // Offset digits in base 3, the first coordinate most significant; digit 0 is -1.
      SmallKey& k = neighbours_[o];
      k = SmallKey{};
      std::size_t rest = o;
      for (std::size_t a = dim_; a-- > 0;) {
        k[a] = key_[a] + static_cast<std::uint64_t>(static_cast<std::int64_t>(rest % 3) - 1);
        rest /= 3;
      }
      occupied_now_[o] = occupied_.maybe(SmallKeyHash{}(k));
      // Fetching the slots of all possibly occupied cells at once overlaps the
      // cache misses of the lookups below.
      if (occupied_now_[o]) grid_.prefetch(k);
    }
    for (std::size_t o = 0; o < n_offsets; ++o) {
      if (!occupied_now_[o]) continue;
      const std::uint32_t* cell = grid_.find(neighbours_[o]);
      if (!cell) continue;
      const NodeId y = scan(*cell, p);
      if (y != kNone) return y;
    }
    return kNone;
  }

  std::uint32_t add_small() {
    SmallKey k{};
    std::copy(key_.begin(), key_.end(), k.begin());
    const auto [cell, added] = grid_.try_emplace(k, kNone);
    if (added) {
      *cell = chains_.new_cell();
      occupied_.set(SmallKeyHash{}(k));
    }
    return *cell;
  }

  // Depth-first over the existing prefixes, offsets -1, 0, 1 per axis: the
  // lexicographic order of the plain enumeration, restricted to cells that exist.
  NodeId search_trie(std::uint32_t node, std::size_t axis, const double* p) const {
    if (axis == dim_) return scan(node, p);
    for (int off = -1; off <= 1; ++off) {
      const std::uint32_t child = trie_.find(node, key_[axis] + static_cast<std::uint64_t>(std::int64_t{off}));
      if (child == kNone) continue;
      const NodeId y = search_trie(child, axis + 1, p);
      if (y != kNone) return y;
    }
    return kNone;
  }

  std::uint32_t add_trie() {
    std::uint32_t node = 0;
    for (std::size_t a = 0; a < dim_; ++a) node = trie_.find_or_add(node, key_[a], chains_);
    return node;
  }

  const Coords& coords_;
  std::span<const double> xyz_;
  std::size_t dim_;
  double h_;
  double tol2_;
  std::vector<std::uint64_t> key_;
  CellChains chains_;
  FlatMap<SmallKey, std::uint32_t, SmallKeyHash> grid_;
  PrefixTrie trie_;
  OccupancyFilter occupied_;
  SmallKey neighbours_[27];
  bool occupied_now_[27];
};

bool repeats_a_node(std::span<const NodeId> cell) {
  for (std::size_t i = 1; i < cell.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (cell[i] == cell[j]) return true;
  return false;
}

}  // namespace

Mesh merge_nodes(const Mesh& mesh, double tol) {
  QUENLITH_VERIFY(!(tol < 0.0), "merge_nodes: tol must be ≥ 0, got {}", dump::plain_number(tol));
  const store::Handle<Coords> coords = mesh.coords();

  std::vector<SubMeshCopy> subs;
  subs.reserve(mesh.size());
  for (const auto& h : mesh.subs()) subs.push_back(copy_submesh(h));
  NodeTable table(subs);

  {
    store::ReadGuard<Coords> guard = store::read(coords);
    Welder welder(*guard, tol, table.ids().size());
    for (NodeId x : table.ids()) table.set(x, welder.weld(x));
  }

  Mesh result;
  NodeId replaced[containers::mesh::kMaxNodesPerCell];
  for (const SubMeshCopy& sub : subs) {
    containers::mesh::SubMesh out = new_submesh(sub.element_type, coords, sub.face_color);
    const std::uint64_t cells = sub.cell_count();
    const std::uint64_t k = sub.nodes_per_cell();
    for (std::uint64_t c = 0; c < cells; ++c) {
      const auto cell = sub.cell(c);
      for (std::uint64_t i = 0; i < k; ++i) replaced[i] = table.rep(cell[i]);
      const std::span<const NodeId> ids(replaced, k);
      if (!repeats_a_node(ids)) out.add_cell(ids);
    }
    result.push_sub(store::insert(std::move(out)));
  }
  return result;
}

}  // namespace quenlith::ops::mesher
