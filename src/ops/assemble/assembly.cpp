#include "ops/assemble/assembly.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/matrix/computed_recipe.hpp"
#include "models/model/sub_model.hpp"
#include "models/kernel/block.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "parallel/pool.hpp"
#include "store/store.hpp"
#include "store/guard.hpp"

namespace quenlith::ops::assemble {

using containers::finite_element_space::min_cells_per_task;

namespace {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::matrix::PodArray;
using containers::matrix::SubMatrix;
using containers::mesh::NodeId;
using containers::model::Model;
using containers::model::SubModel;
using containers::node_field::IdIndex;
using models::kernel::BlockCells;
using models::kernel::BlockPlacement;
using parallel::Index;

constexpr std::uint64_t kNone = ScatterPattern::kNone;

struct DofHash {
  std::size_t operator()(const Dof& d) const noexcept {
    return std::hash<std::string>{}(d.var) * 1000003u ^ std::hash<std::uint64_t>{}(d.node);
  }
};
using DofMap = std::unordered_map<Dof, std::uint64_t, DofHash>;

DofMap index_of(const std::vector<Dof>& table) {
  DofMap map;
  map.reserve(table.size());
  for (std::uint64_t i = 0; i < table.size(); ++i) map.emplace(table[i], i);
  return map;
}

// The global index of every local degree of freedom of a literal block; each item
// on its own, so the lookups run in parallel.
std::vector<std::uint64_t> to_global(const std::vector<Dof>& local, const DofMap& map) {
  std::vector<std::uint64_t> out(local.size());
  parallel::for_chunks(local.size(), 1024, [&](Index begin, Index end) {
    for (Index i = begin; i < end; ++i) out[i] = map.at(local[i]);
  });
  return out;
}

const BlockCells::Messages kCellMessages{
    "element_block_triplets_per_cell: no FE subspace",
    "element_block_triplets_per_cell: all FE subspaces of a block must share one submesh"};

// A recipe's zone under a read guard (absent when the recipe has none).
std::optional<store::ReadGuard<SubElementField>> read_zone(const std::optional<containers::matrix::ErasedHandle>& h) {
  if (!h) return std::nullopt;
  const auto* typed = h->as<SubElementField>();
  QUENLITH_VERIFY(typed != nullptr, "scatter_parallel: recipe zone is not a SubElementField ({})", h->type_path());
  return store::read(*typed);
}

// Chunks of the loops over rows, nodes and table entries, and the fewest nodes per
// group of the node-graph build: small enough that ten thousand unknowns still give
// every worker a share (a row or a node costs some tens of entries, which pays for a
// task at a few hundred of them).
constexpr Index kRowChunk = 1024;
constexpr std::uint64_t kNodeBlock = 512;

// n zeros, written by the workers. Not calloc: its fresh pages are mapped to the
// shared zero page on the first read, and an entry that is added to (read, then
// written) takes a second fault on the first write, which also flushes the page from
// every other processor's TLB; writing first takes one plain fault per page.
template <class T>
PodArray<T> parallel_zeros(std::uint64_t n) {
  PodArray<T> out(n);
  parallel::for_chunks(n, (std::uint64_t{1} << 17) / sizeof(T),
                       [&](Index b, Index e) { std::fill(out.data() + b, out.data() + e, T{}); });
  return out;
}

template <class T>
PodArray<T> parallel_copy(const PodArray<T>& in) {
  PodArray<T> out(in.size());
  parallel::for_chunks(in.size(), std::uint64_t{1} << 16,
                       [&](Index b, Index e) { std::copy(in.data() + b, in.data() + e, out.data() + b); });
  return out;
}

// Counts into offsets, in place: a[0] = 0 and a[i + 1] holding the count of item i
// become a[i + 1] = the sum of the first i + 1 counts. Chunks summed in parallel,
// then each chunk offset by the ones before it (integers: any grouping is exact).
// Returns the largest count.
template <class A>
std::uint64_t counts_to_offsets(A& a, std::uint64_t n) {
  constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;
  const std::uint64_t n_chunks = (n + kChunk - 1) / kChunk;
  std::vector<std::uint64_t> sums(n_chunks + 1, 0), most(n_chunks, 0);
  parallel::for_chunks(n_chunks, 1, [&](Index begin, Index end) {
    for (Index k = begin; k < end; ++k) {
      std::uint64_t sum = 0, top = 0;
      for (std::uint64_t i = k * kChunk + 1; i <= std::min(n, (k + 1) * kChunk); ++i) {
        top = std::max<std::uint64_t>(top, a[i]);
        sum += a[i];
        a[i] = sum;
      }
      sums[k + 1] = sum;
      most[k] = top;
    }
  });
  for (std::uint64_t k = 0; k < n_chunks; ++k) sums[k + 1] += sums[k];
  parallel::for_chunks(n_chunks, 1, [&](Index begin, Index end) {
    for (Index k = begin; k < end; ++k) {
      const std::uint64_t before = sums[k];
      for (std::uint64_t i = k * kChunk + 1; i <= std::min(n, (k + 1) * kChunk); ++i) a[i] += before;
    }
  });
  return n_chunks ? *std::max_element(most.begin(), most.end()) : 0;
}

// A copy of a degree-of-freedom table. Its storage is asked for huge pages before
// the first entry is written: a million entries would otherwise fault ten thousand
// fresh pages in one by one, which costs more than copying them.
std::vector<Dof> copy_table(const std::vector<Dof>& in) {
  std::vector<Dof> out;
  out.reserve(in.size());
  containers::matrix::detail::advise_huge_pages(out.data(), in.size() * sizeof(Dof));
  out.insert(out.end(), in.begin(), in.end());
  return out;
}

// The row table (make(true)) and the column table (make(false)), independent of
// each other: side by side on two workers.
template <class F>
std::pair<std::vector<Dof>, std::vector<Dof>> both_tables(F&& make) {
  std::pair<std::vector<Dof>, std::vector<Dof>> out;
  parallel::for_chunks(2, 1, [&](Index begin, Index end) {
    for (Index k = begin; k < end; ++k) (k == 0 ? out.first : out.second) = make(k == 0);
  });
  return out;
}

// Copies of both tables.
std::pair<std::vector<Dof>, std::vector<Dof>> copy_tables(const std::vector<Dof>& rows, const std::vector<Dof>& cols) {
  return both_tables([&](bool row) { return copy_table(row ? rows : cols); });
}

// A computed block's cells (its first subspace, under read guards), where their
// entries go in the block, and the global row (column) of every (first support
// position, variable): kNone at a later position of a node listed twice, which no
// cell uses.
struct ComputedBlock {
  BlockCells cells;
  BlockPlacement place;
  std::vector<std::uint64_t> grow, gcol;
  std::uint64_t n_cells, npc, nd, np;
};

// The global index of every (first position, variable) of a support: one walk of the
// table, each entry looked up by node and compared with the block's few names.
std::vector<std::uint64_t> global_of_positions(const std::vector<Dof>& table, const IdIndex& index,
                                               std::uint64_t n_positions, const std::vector<std::string>& vars) {
  const std::uint64_t nv = vars.size();
  std::vector<std::uint64_t> out(n_positions * nv, kNone);
  parallel::for_chunks(table.size(), kRowChunk, [&](Index begin, Index end) {
    for (Index t = begin; t < end; ++t) {
      const std::optional<std::uint32_t> p = index.find(table[t].node);
      if (!p) continue;
      for (std::uint64_t v = 0; v < nv; ++v)
        if (table[t].var == vars[v]) {
          out[*p * nv + v] = t;
          break;
        }
    }
  });
  return out;
}

// The node graph of a computed block: for every first row-support position p, the
// column-support positions of the nodes that share a cell with it, ascending
// (adjacency[offsets[p] .. offsets[p + 1])), and, for every cell c and local nodes a
// and n, the slot of n's column position among the neighbours of a's row position
// (slots[(c npc + a) npc + n], the compact form of the positions; one byte when no
// row can meet more than 256 nodes, else two).
//
// Built by counting, with no list per node on the heap: the cells of every node (a
// node-to-cells index, counted then placed), then, node groups in parallel, each
// node's neighbours gathered from its cells once each (a mark per column position),
// sorted, and their ranks handed to the cells' slots; each group writes its own list,
// copied into place once every node is counted. The result does not depend on the
// groups, so not on the threads.
struct NodeGraph {
  std::vector<std::uint64_t> offsets;
  PodArray<std::uint32_t> adjacency;
  std::uint64_t most = 0;  // the longest neighbour list
  std::variant<containers::matrix::PodArray<std::uint8_t>, containers::matrix::PodArray<std::uint16_t>> slots;
};

// The support positions of every cell's nodes, cell-major (the cells are checked
// against the supports beforehand).
PodArray<std::uint32_t> cell_positions(const ComputedBlock& b, const IdIndex& index) {
  PodArray<std::uint32_t> out(b.n_cells * b.npc);
  parallel::for_chunks(b.n_cells, kRowChunk, [&](Index begin, Index end) {
    for (Index c = begin; c < end; ++c) {
      const std::span<const NodeId> ids = b.cells.node_ids(c);
      for (std::uint64_t a = 0; a < b.npc; ++a) out[c * b.npc + a] = *index.find(ids[a]);
    }
  });
  return out;
}

// Sorts a short list, as a node's neighbours are: gathered cell by cell, nearly in
// order already, which an insertion sort takes in about one pass.
void sort_short(std::vector<std::uint32_t>& v) {
  if (v.size() > 64) {
    std::sort(v.begin(), v.end());
    return;
  }
  for (std::size_t i = 1; i < v.size(); ++i) {
    const std::uint32_t x = v[i];
    std::size_t j = i;
    for (; j > 0 && v[j - 1] > x; --j) v[j] = v[j - 1];
    v[j] = x;
  }
}

NodeGraph node_graph(const ComputedBlock& b) {
  const std::uint64_t n_pos = b.place.row_nodes().size(), npc = b.npc, n_cells = b.n_cells;
  // Row and column positions of every cell node: the same list when both supports
  // list the same nodes.
  const PodArray<std::uint32_t> col_pos = cell_positions(b, b.place.col_index());
  const bool same = std::ranges::equal(b.place.row_nodes(), b.place.col_nodes());
  const PodArray<std::uint32_t> row_pos_own = same ? PodArray<std::uint32_t>{} : cell_positions(b, b.place.row_index());
  const std::uint32_t* const cp = col_pos.data();
  const std::uint32_t* const rp = same ? cp : row_pos_own.data();
  // Node -> cells, counted then placed by tasks that each own a range of row
  // positions and walk every cell node in order (no atomics; each node lists its
  // cells in increasing order, whatever the number of tasks).
  const std::uint64_t n_tasks = std::min<std::uint64_t>(parallel::max_threads(), std::max<std::uint64_t>(n_pos, 1));
  const auto each_owned = [&](auto&& f) {
    parallel::for_chunks(n_tasks, 1, [&](Index begin, Index end) {
      for (Index t = begin; t < end; ++t) {
        const std::uint64_t lo = n_pos * t / n_tasks, hi = n_pos * (t + 1) / n_tasks;
        for (std::uint64_t e = 0; e < n_cells * npc; ++e)
          if (rp[e] >= lo && rp[e] < hi) f(e);
      }
    });
  };
  PodArray<std::uint64_t> cell_start = parallel_zeros<std::uint64_t>(n_pos + 1);
  each_owned([&](std::uint64_t e) { ++cell_start[rp[e] + 1]; });
  counts_to_offsets(cell_start, n_pos);
  PodArray<std::uint32_t> cells_of(cell_start[n_pos]);
  {
    PodArray<std::uint64_t> cursor = cell_start;
    each_owned([&](std::uint64_t e) { cells_of[cursor[rp[e]]++] = static_cast<std::uint32_t>(e / npc); });
  }
  // Groups of consecutive nodes, a few per thread, each with one mark (and one rank)
  // per column position its cells reach: a window, narrow when neighbours are
  // numbered near each other. `visit(p, near, lo)` gets each node's neighbours, once
  // each, unsorted; `rank` is the group's rank window.
  const std::uint64_t n_groups =
      std::min<std::uint64_t>((n_pos + kNodeBlock - 1) / kNodeBlock, 4 * parallel::max_threads());
  // The window of each group: the lowest and highest column position of the cells
  // around its nodes (from each cell's own lowest and highest).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> window(n_groups);
  {
    PodArray<std::uint32_t> cell_lo(n_cells), cell_hi(n_cells);
    parallel::for_chunks(n_cells, kRowChunk, [&](Index begin, Index end) {
      for (Index c = begin; c < end; ++c) {
        const std::uint32_t* const q = cp + c * npc;
        std::uint32_t lo = q[0], hi = q[0];
        for (std::uint64_t n = 1; n < npc; ++n) {
          lo = std::min(lo, q[n]);
          hi = std::max(hi, q[n]);
        }
        cell_lo[c] = lo;
        cell_hi[c] = hi;
      }
    });
    parallel::for_chunks(n_groups, 1, [&](Index begin, Index end) {
      for (Index k = begin; k < end; ++k) {
        std::uint32_t lo = std::numeric_limits<std::uint32_t>::max(), hi = 0;
        for (std::uint64_t e = cell_start[n_pos * k / n_groups]; e < cell_start[n_pos * (k + 1) / n_groups]; ++e) {
          lo = std::min(lo, cell_lo[cells_of[e]]);
          hi = std::max(hi, cell_hi[cells_of[e]]);
        }
        window[k] = {lo, hi};
      }
    });
  }
  const auto each_node = [&](auto&& visit) {
    parallel::for_chunks(n_groups, 1, [&](Index begin, Index end) {
      std::vector<std::uint32_t> mark, rank, near;
      for (Index k = begin; k < end; ++k) {
        const std::uint64_t first = n_pos * k / n_groups, last = n_pos * (k + 1) / n_groups;
        const auto [lo, hi] = window[k];
        if (lo > hi) continue;  // no cell around these nodes
        mark.assign(hi - lo + 1, 0);
        rank.resize(hi - lo + 1);
        // Locals, not captures: the byte stores of the callers' slots may alias
        // anything, which would make the compiler reload every captured value.
        const std::uint64_t width = npc;
        const std::uint64_t* const starts = cell_start.data();
        const std::uint32_t* const around = cells_of.data();
        std::uint32_t* const marks = mark.data();
        for (std::uint64_t p = first; p < last; ++p) {
          near.clear();
          const std::uint32_t stamp = static_cast<std::uint32_t>(p - first + 1);
          for (std::uint64_t e = starts[p], e_end = starts[p + 1]; e < e_end; ++e) {
            const std::uint32_t* const q = cp + std::uint64_t{around[e]} * width;
            for (std::uint64_t n = 0; n < width; ++n)
              if (marks[q[n] - lo] != stamp) {
                marks[q[n] - lo] = stamp;
                near.push_back(q[n]);
              }
          }
          visit(p, near, lo, rank.data());
        }
      }
    });
  };
  NodeGraph g;
  // Counted first, then written in place: no list per node or group on the heap.
  g.offsets.assign(n_pos + 1, 0);
  each_node([&](std::uint64_t p, std::vector<std::uint32_t>& near, std::uint32_t, std::uint32_t*) {
    g.offsets[p + 1] = near.size();
  });
  g.most = counts_to_offsets(g.offsets, n_pos);
  g.adjacency = PodArray<std::uint32_t>(g.offsets[n_pos]);
  // A node meets at most npc nodes per cell it lies in: the slot width follows.
  const auto fill = [&](auto& slots) {
    using S = typename std::remove_reference_t<decltype(slots)>::value_type;
    slots.resize(n_cells * npc * npc);
    S* const all_slots = slots.data();
    each_node([&](std::uint64_t p, std::vector<std::uint32_t>& near, std::uint32_t lo, std::uint32_t* rank) {
      sort_short(near);
      std::copy(near.begin(), near.end(), g.adjacency.data() + g.offsets[p]);
      for (std::uint32_t i = 0; i < near.size(); ++i) rank[near[i] - lo] = i;
      // The rows of this node in every cell around it: the rank of each node of the
      // cell among the neighbours.
      const std::uint64_t width = npc;
      const std::uint32_t* const around = cells_of.data();
      for (std::uint64_t e = cell_start[p], e_end = cell_start[p + 1]; e < e_end; ++e) {
        const std::uint64_t c = around[e];
        const std::uint32_t* const r = rp + c * width;
        const std::uint32_t* const q = cp + c * width;
        for (std::uint64_t a = 0; a < width; ++a) {
          if (r[a] != p) continue;
          S* const row = all_slots + (c * width + a) * width;
          for (std::uint64_t n = 0; n < width; ++n) row[n] = static_cast<S>(rank[q[n] - lo]);
        }
      }
    });
  };
  if (g.most <= 256)
    fill(g.slots.emplace<PodArray<std::uint8_t>>());
  else
    fill(g.slots.emplace<PodArray<std::uint16_t>>());
  return g;
}

// What one block brings to the rows, gathered before the rows are laid out.
struct LiteralRecord {
  std::vector<std::uint64_t> rows, cols;  // global (row, column) of every entry
};
struct ComputedRecord {
  std::unique_ptr<ComputedBlock> block;
  NodeGraph graph;
  bool ordered = false;  // its columns, node by node then variable, rise globally
};
using Record = std::variant<LiteralRecord, ComputedRecord>;

// Whether the global columns of (q, j), q ascending then j, rise strictly: then the
// columns of a row of this block come out sorted when its neighbours are walked in
// order.
bool columns_rise(const ComputedBlock& b) {
  std::uint64_t last = 0;
  bool first = true;
  for (std::uint64_t t = 0; t < b.gcol.size(); ++t) {
    if (b.gcol[t] == kNone) continue;
    if (!first && b.gcol[t] <= last) return false;
    last = b.gcol[t];
    first = false;
  }
  return b.place.ordering() == containers::matrix::Ordering::NodesThenVars;
}

// Calls f(p, k, r) for every first row-support position p and dual variable k of a
// computed block, with its global row r; positions in parallel (each (p, k) names its
// own row).
template <class F>
void for_each_block_row(const ComputedBlock& b, F&& f) {
  parallel::for_chunks(b.place.row_nodes().size(), kRowChunk, [&](Index begin, Index end) {
    for (Index p = begin; p < end; ++p)
      for (std::uint64_t k = 0; k < b.nd; ++k)
        if (const std::uint64_t r = b.grow[p * b.nd + k]; r != kNone) f(p, k, r);
  });
}

// How the rows were laid out: rows[r] is 0 for a row no block touches, 1 for a row
// that one computed block fills alone, in order, 2 for a row sorted from several
// sources (or from a literal block, or a block whose columns do not rise).
struct RowSources {
  std::vector<std::uint8_t> rows;
};

// The sorted column list of every row, as compressed rows: each block's candidates
// placed row by row (blocks in order), then, in the rows that need it (more than
// one source, or a source whose columns do not come out sorted), sorted and made
// unique; rows that need nothing are already final and stay where they are.
template <class Col>
RowSources lay_out_rows(std::vector<Record>& records, std::uint64_t n_rows, Csr& csr) {
  std::vector<std::uint64_t> count(n_rows + 1, 0);
  RowSources sources{std::vector<std::uint8_t>(n_rows, 0)};
  std::vector<std::uint8_t>& merge = sources.rows;
  std::atomic<bool> any_merge{false};
  for (Record& rec : records) {
    if (auto* lit = std::get_if<LiteralRecord>(&rec)) {
      for (std::uint64_t r : lit->rows) {
        ++count[r + 1];
        merge[r] = 2;
      }
      any_merge = any_merge || !lit->rows.empty();
      continue;
    }
    const ComputedRecord& c = std::get<ComputedRecord>(rec);
    for_each_block_row(*c.block, [&](std::uint64_t p, std::uint64_t, std::uint64_t r) {
      count[r + 1] += (c.graph.offsets[p + 1] - c.graph.offsets[p]) * c.block->np;
      merge[r] = merge[r] == 0 && c.ordered ? 1 : 2;
      if (merge[r] == 2 && !any_merge.load(std::memory_order_relaxed)) any_merge.store(true, std::memory_order_relaxed);
    });
  }
  counts_to_offsets(count, n_rows);
  PodArray<Col> cand(count[n_rows]);
  std::vector<std::uint64_t> cursor(count.begin(), count.end() - 1);
  for (const Record& rec : records) {
    if (const auto* lit = std::get_if<LiteralRecord>(&rec)) {
      for (std::uint64_t t = 0; t < lit->rows.size(); ++t) cand[cursor[lit->rows[t]]++] = static_cast<Col>(lit->cols[t]);
      continue;
    }
    const ComputedRecord& c = std::get<ComputedRecord>(rec);
    const ComputedBlock& b = *c.block;
    for_each_block_row(b, [&](std::uint64_t p, std::uint64_t, std::uint64_t r) {
      Col* out = cand.data() + cursor[r];
      for (std::uint64_t e = c.graph.offsets[p]; e < c.graph.offsets[p + 1]; ++e)
        for (std::uint64_t j = 0; j < b.np; ++j) *out++ = static_cast<Col>(b.gcol[c.graph.adjacency[e] * b.np + j]);
      cursor[r] = static_cast<std::uint64_t>(out - cand.data());
    });
  }
  std::vector<std::uint64_t>().swap(cursor);
  csr.offsets = PodArray<std::uint64_t>(n_rows + 1);
  if (!any_merge.load()) {
    std::copy(count.begin(), count.end(), csr.offsets.data());
    csr.cols = std::move(cand);
    return sources;
  }
  // Rows with several sources, or unsorted ones: sorted and made unique in place,
  // then the rows closed up.
  std::vector<std::uint64_t> kept(n_rows + 1, 0);
  parallel::for_chunks(n_rows, kRowChunk, [&](Index begin, Index end) {
    for (Index r = begin; r < end; ++r) {
      Col* first = cand.data() + count[r];
      Col* last = cand.data() + count[r + 1];
      if (merge[r] == 2) {
        std::sort(first, last);
        last = std::unique(first, last);
      }
      kept[r + 1] = static_cast<std::uint64_t>(last - first);
    }
  });
  counts_to_offsets(kept, n_rows);
  std::copy(kept.begin(), kept.end(), csr.offsets.data());
  PodArray<Col> cols(kept[n_rows]);
  parallel::for_chunks(n_rows, kRowChunk, [&](Index begin, Index end) {
    for (Index r = begin; r < end; ++r)
      std::copy(cand.data() + count[r], cand.data() + count[r] + (kept[r + 1] - kept[r]), cols.data() + kept[r]);
  });
  csr.cols = std::move(cols);
  return sources;
}

// Position of column c in row r (binary search); consistent data always finds it.
template <class Col>
std::uint64_t find_in_row(const Csr& csr, const PodArray<Col>& cols, std::uint64_t r, std::uint64_t c) {
  const Col* first = cols.data() + csr.offsets[r];
  const Col* last = cols.data() + csr.offsets[r + 1];
  const Col* at = std::lower_bound(first, last, c, [](Col x, std::uint64_t v) { return std::uint64_t{x} < v; });
  if (at == last || std::uint64_t{*at} != c) throw Error::message("scatter: entry ({}, {}) absent from the CSR pattern", r, c);
  return static_cast<std::uint64_t>(at - cols.data());
}

// The slots of a computed block whose rows hold its columns as one run each (see
// ScatterPattern::Computed::Slots), or nothing when some row does not.
template <class Col>
std::optional<ScatterPattern::Computed::Slots> slots_of(ComputedRecord& rec, const Csr& csr, const PodArray<Col>& cols,
                                                        const RowSources& sources) {
  const ComputedBlock& b = *rec.block;
  const NodeGraph& g = rec.graph;
  if (!rec.ordered || g.most > 65536) return std::nullopt;
  const std::uint64_t n_pos = b.place.row_nodes().size();
  ScatterPattern::Computed::Slots out{b.place.row_index(), std::vector<std::uint64_t>(n_pos * b.nd, kNone), {}};
  std::atomic<bool> fits{true};
  for_each_block_row(b, [&](std::uint64_t p, std::uint64_t k, std::uint64_t r) {
    if (g.offsets[p] == g.offsets[p + 1] || !fits.load(std::memory_order_relaxed)) return;
    // A row this block fills alone holds its columns, in order, and nothing else.
    if (sources.rows[r] == 1) {
      out.row_start[p * b.nd + k] = csr.offsets[r];
      return;
    }
    const std::uint64_t start = find_in_row(csr, cols, r, b.gcol[g.adjacency[g.offsets[p]] * b.np]);
    std::uint64_t at = start;
    bool run = true;
    for (std::uint64_t e = g.offsets[p]; e < g.offsets[p + 1] && run; ++e)
      for (std::uint64_t j = 0; j < b.np && run; ++j, ++at)
        run = at < csr.offsets[r + 1] && std::uint64_t{cols[at]} == b.gcol[g.adjacency[e] * b.np + j];
    if (!run) fits.store(false, std::memory_order_relaxed);
    out.row_start[p * b.nd + k] = start;
  });
  if (!fits.load()) return std::nullopt;
  out.slots = std::move(rec.graph.slots);
  return out;
}

// Every entry's position, for the blocks that slots cannot describe.
template <class Col>
ScatterPattern::Computed::Positions positions_of(const ComputedBlock& b, const Csr& csr, const PodArray<Col>& cols) {
  ScatterPattern::Computed::Positions out;
  const std::uint64_t stride = b.npc * b.nd * b.npc * b.np;
  const auto fill = [&](auto& positions) {
    using P = typename std::remove_reference_t<decltype(positions)>::value_type;
    positions.resize(b.n_cells * stride);
    parallel::for_chunks(b.n_cells, min_cells_per_task(b.npc * b.nd), [&](Index begin, Index end) {
      std::vector<std::uint32_t> rp(b.npc), cp(b.npc);
      for (Index c = begin; c < end; ++c) {
        b.place.locate(b.cells.node_ids(c), "element_block_pattern", rp, cp);
        P* out = positions.data() + c * stride;
        for (std::uint64_t a = 0; a < b.npc; ++a)
          for (std::uint64_t k = 0; k < b.nd; ++k) {
            const std::uint64_t r = b.grow[rp[a] * b.nd + k];
            for (std::uint64_t n = 0; n < b.npc; ++n)
              for (std::uint64_t j = 0; j < b.np; ++j)
                *out++ = static_cast<P>(find_in_row(csr, cols, r, b.gcol[cp[n] * b.np + j]));
          }
      }
    });
  };
  if (csr.offsets[csr.n_rows] > std::numeric_limits<std::uint32_t>::max())
    fill(out.positions.template emplace<PodArray<std::uint64_t>>());
  else
    fill(out.positions.template emplace<PodArray<std::uint32_t>>());
  return out;
}

// A computed block's cells and supports, with every cell node checked against both
// supports first (the lowest failing cell reports, rows before columns).
std::unique_ptr<ComputedBlock> computed_block(const SubMatrix& sub, const std::vector<Dof>& row_dofs,
                                              const std::vector<Dof>& col_dofs) {
  const auto& spaces = sub.recipe()->fespaces;
  const std::span<const models::kernel::SpaceHandle> first =
      std::span(spaces).first(std::min<std::size_t>(1, spaces.size()));
  auto out = std::unique_ptr<ComputedBlock>(new ComputedBlock{
      BlockCells(first, kCellMessages),
      BlockPlacement(std::vector<NodeId>(sub.row_nodes().begin(), sub.row_nodes().end()),
                     std::vector<NodeId>(sub.col_nodes().begin(), sub.col_nodes().end()), sub.dual_vars().size(),
                     sub.primal_vars().size(), sub.ordering()),
      {}, {}, 0, 0, sub.dual_vars().size(), sub.primal_vars().size()});
  ComputedBlock& b = *out;
  b.n_cells = b.cells.cell_count();
  b.npc = b.cells.nodes_per_cell();
  QUENLITH_VERIFY(b.n_cells <= std::numeric_limits<std::uint32_t>::max(),
                  "element_block_pattern: {} cells is beyond 2^32 cells of one block", b.n_cells);
  parallel::for_chunks(b.n_cells, min_cells_per_task(b.npc), [&](Index begin, Index end) {
    std::vector<std::uint32_t> rp(b.npc), cp(b.npc);
    for (Index c = begin; c < end; ++c) b.place.locate(b.cells.node_ids(c), "element_block_pattern", rp, cp);
  });
  b.grow = global_of_positions(row_dofs, b.place.row_index(), b.place.row_nodes().size(), sub.dual_vars());
  b.gcol = global_of_positions(col_dofs, b.place.col_index(), b.place.col_nodes().size(), sub.primal_vars());
  return out;
}

}  // namespace

void ScatterPattern::Computed::positions(std::uint64_t cell, std::span<const NodeId> cell_nodes,
                                         std::span<std::uint64_t> out) const {
  const std::uint64_t s = stride();
  if (const auto* p = std::get_if<Positions>(&where)) {
    std::visit([&](const auto& v) { std::copy(v.begin() + cell * s, v.begin() + (cell + 1) * s, out.begin()); },
               p->positions);
    return;
  }
  const Slots& sl = std::get<Slots>(where);
  std::visit(
      [&](const auto& slots) {
        std::uint64_t e = 0;
        for (std::uint64_t a = 0; a < npc; ++a) {
          const std::uint64_t p = *sl.row_index.find(cell_nodes[a]);
          for (std::uint64_t k = 0; k < n_dual; ++k)
            for (std::uint64_t b = 0; b < npc; ++b)
              for (std::uint64_t j = 0; j < n_primal; ++j)
                out[e++] = sl.row_start[p * n_dual + k] + slots[(cell * npc + a) * npc + b] * n_primal + j;
        }
      },
      sl.slots);
}

ScatterPattern build_scatter_pattern(const Matrix& matrix) {
  ScatterPattern p;
  if (const auto& f = matrix.finalized()) {
    p.row_dofs = f->row_dofs;
    p.col_dofs = f->col_dofs;
  } else {
    std::tie(p.row_dofs, p.col_dofs) = both_tables([&](bool row) {
      return matrix.build_dof_table(row ? containers::matrix::Side::Rows : containers::matrix::Side::Cols);
    });
  }
  const std::uint64_t n_rows = p.row_dofs.size(), n_cols = p.col_dofs.size();
  std::optional<DofMap> row_map, col_map;  // for literal blocks, made on first need
  std::vector<Record> records;
  for (const Matrix::Block& h : matrix.subs()) {
    const store::ReadGuard<SubMatrix> b = store::read(h);
    if (!b->is_computed()) {
      if (!row_map) {
        row_map = index_of(p.row_dofs);
        col_map = index_of(p.col_dofs);
      }
      const std::vector<std::uint64_t> grow = to_global(b->row_dofs(), *row_map);
      const std::vector<std::uint64_t> gcol = to_global(b->col_dofs(), *col_map);
      const auto& coo = b->coo();
      LiteralRecord lit;
      lit.rows.resize(coo.size());
      lit.cols.resize(coo.size());
      for (std::uint64_t k = 0; k < coo.size(); ++k) {
        lit.rows[k] = grow[coo.rows[k]];
        lit.cols[k] = gcol[coo.cols[k]];
      }
      records.emplace_back(std::move(lit));
      continue;
    }
    ComputedRecord rec;
    rec.block = computed_block(*b, p.row_dofs, p.col_dofs);
    rec.graph = node_graph(*rec.block);
    rec.ordered = columns_rise(*rec.block);
    records.emplace_back(std::move(rec));
  }
  p.csr = Csr::empty(n_rows, n_cols);
  RowSources sources;
  const auto positions = [&](const auto& cols) {
    for (Record& rec : records) {
      if (auto* lit = std::get_if<LiteralRecord>(&rec)) {
        ScatterPattern::Literal pos(lit->rows.size());
        parallel::for_chunks(pos.size(), kRowChunk, [&](Index begin, Index end) {
          for (Index k = begin; k < end; ++k) pos[k] = find_in_row(p.csr, cols, lit->rows[k], lit->cols[k]);
        });
        p.blocks.emplace_back(std::move(pos));
        continue;
      }
      ComputedRecord& c = std::get<ComputedRecord>(rec);
      const ComputedBlock& b = *c.block;
      ScatterPattern::Computed out;
      out.n_cells = b.n_cells;
      out.npc = b.npc;
      out.n_dual = b.nd;
      out.n_primal = b.np;
      if (std::optional<ScatterPattern::Computed::Slots> slots = slots_of(c, p.csr, cols, sources))
        out.where = std::move(*slots);
      else
        out.where = positions_of(b, p.csr, cols);
      c.graph = NodeGraph{};
      p.blocks.emplace_back(std::move(out));
    }
  };
  if (Csr::narrow_columns(n_cols)) {
    sources = lay_out_rows<std::uint32_t>(records, n_rows, p.csr);
    positions(std::get<PodArray<std::uint32_t>>(p.csr.cols));
  } else {
    sources = lay_out_rows<std::uint64_t>(records, n_rows, p.csr);
    positions(std::get<PodArray<std::uint64_t>>(p.csr.cols));
  }
  // The numeric pass copies these rows and fills their values: checked here, once
  // per pattern. The value array only lends its length to the check; it is never
  // written, so it takes no memory.
  p.csr.values = PodArray<double>(p.csr.offsets[n_rows]);
  const std::optional<std::string> bad = p.csr.invalid();
  p.csr.values = PodArray<double>();
  if (bad) throw Error::message("scatter_parallel: invalid CSR: {}", *bad);
  return p;
}

namespace {

// Adds one cell's element block at the block's positions, in element order, each
// value times the factor.
struct AddAtPositions {
  const ScatterPattern::Computed& where;
  const BlockCells& cells;
  std::span<double> values;
  double factor;

  template <class S>
  [[gnu::always_inline]] void slots(const ScatterPattern::Computed::Slots& sl, const PodArray<S>& slots,
                                    std::uint64_t cell, std::span<const double> block) const {
    const std::uint64_t npc = where.npc, nd = where.n_dual, np = where.n_primal;
    const std::span<const NodeId> ids = cells.node_ids(cell);
    const S* s = slots.data() + cell * npc * npc;
    const double* e = block.data();
    double* v = values.data();
    for (std::uint64_t a = 0; a < npc; ++a) {
      const std::uint64_t p = *sl.row_index.find(ids[a]);
      for (std::uint64_t k = 0; k < nd; ++k) {
        double* row = v + sl.row_start[p * nd + k];
        if (np == 1) {
          for (std::uint64_t b = 0; b < npc; ++b) row[s[a * npc + b]] += *e++ * factor;
        } else {
          for (std::uint64_t b = 0; b < npc; ++b) {
            double* at = row + std::uint64_t{s[a * npc + b]} * np;
            for (std::uint64_t j = 0; j < np; ++j) at[j] += *e++ * factor;
          }
        }
      }
    }
  }

  template <class P>
  [[gnu::always_inline]] void positions(const PodArray<P>& positions, std::uint64_t cell,
                                        std::span<const double> block) const {
    const std::uint64_t stride = where.stride();
    const P* at = positions.data() + cell * stride;
    for (std::uint64_t k = 0; k < stride; ++k) values[at[k]] += block[k] * factor;
  }
};

}  // namespace

Csr scatter_parallel(const Matrix& matrix, const ScatterPattern& pattern, const store::InterruptCheck& interrupt) {
  Csr csr = Csr::empty(pattern.csr.n_rows, pattern.csr.n_cols);
  csr.offsets = parallel_copy(pattern.csr.offsets);
  std::visit([&](const auto& cols) { csr.cols = parallel_copy(cols); }, pattern.csr.cols);
  csr.values = parallel_zeros<double>(csr.offsets[csr.n_rows]);
  const std::span<double> values(csr.values.data(), csr.values.size());
  const auto subs = matrix.subs();
  for (std::size_t m = 0; m < subs.size(); ++m) {
    interrupt();
    const store::ReadGuard<SubMatrix> b = store::read(subs[m]);
    const double factor = b->factor();
    if (!b->is_computed()) {
      const auto* pos = m < pattern.blocks.size() ? std::get_if<ScatterPattern::Literal>(&pattern.blocks[m]) : nullptr;
      if (!pos) throw Error::message("scatter_parallel: pattern/block kind mismatch (literal block)");
      const auto& coo = b->coo();
      const std::uint64_t n = std::min<std::uint64_t>(coo.size(), pos->size());
      for (std::uint64_t k = 0; k < n; ++k) values[(*pos)[k]] += coo.values[k] * factor;
      continue;
    }
    const containers::matrix::ComputedRecipe& recipe = *b->recipe();
    const auto* sub_handle = recipe.submodel.as<SubModel>();
    QUENLITH_VERIFY(sub_handle != nullptr, "scatter_parallel: recipe sub-model is not a SubModel ({})",
                    recipe.submodel.type_path());
    const store::ReadGuard<SubModel> sub = store::read(*sub_handle);
    const auto material = read_zone(recipe.material);
    const auto state = read_zone(recipe.state);
    const SubElementField* mat = material ? &material->get() : nullptr;
    const SubElementField* st = state ? &state->get() : nullptr;
    const models::ModelKind& kind = sub->kind();
    const BlockCells cells(recipe.fespaces, kCellMessages);
    const auto* pos = m < pattern.blocks.size() ? std::get_if<ScatterPattern::Computed>(&pattern.blocks[m]) : nullptr;
    if (!pos) throw Error::message("scatter_parallel: pattern/block kind mismatch (computed block)");
    // A pattern is cached on the promise that a model always makes the same blocks; a
    // block that no longer fits it would put values out of place.
    QUENLITH_VERIFY(pos->n_cells == cells.cell_count() && pos->npc == cells.nodes_per_cell() &&
                        pos->n_dual == b->dual_vars().size() && pos->n_primal == b->primal_vars().size(),
                    "scatter_parallel: the pattern of block {} does not fit it", m);
    const OperatorKind op = recipe.kind;
    const std::unique_ptr<models::kernel::PreparedKernel> prepared =
        kind.prepare_operator(op, cells.first_geometry(), mat, st);
    const AddAtPositions add{*pos, cells, values, factor};
    const auto kernel = [&](std::span<const models::CellContext> ctxs, std::span<double> out) {
      kind.element_operator(op, ctxs, mat, st, out);
    };
    // Runs of one colour share no node, hence no compressed entry: each adds into the
    // shared values without a lock.
    if (const auto* sl = std::get_if<ScatterPattern::Computed::Slots>(&pos->where)) {
      std::visit(
          [&](const auto& slots) {
            models::kernel::for_each_element_block(
                cells, pos->n_dual, pos->n_primal, kernel,
                [&](std::uint64_t cell, std::span<const double> block) { add.slots(*sl, slots, cell, block); },
                &interrupt, prepared.get());
          },
          sl->slots);
    } else {
      std::visit(
          [&](const auto& positions) {
            models::kernel::for_each_element_block(
                cells, pos->n_dual, pos->n_primal, kernel,
                [&](std::uint64_t cell, std::span<const double> block) { add.positions(positions, cell, block); },
                &interrupt, prepared.get());
          },
          std::get<ScatterPattern::Computed::Positions>(pos->where).positions);
    }
  }
  return csr;
}

void assemble(Matrix& matrix, const store::InterruptCheck& interrupt) {
  ScatterPattern pattern = build_scatter_pattern(matrix);
  Csr csr = scatter_parallel(matrix, pattern, interrupt);
  matrix.install(std::move(pattern.row_dofs), std::move(pattern.col_dofs), std::move(csr));
}

Matrix assemble_operator(const Model& model, const ElementField& materials, OperatorKind kind,
                         const ElementField* extra, const store::InterruptCheck& interrupt) {
  Matrix matrix;
  for (const store::Handle<SubModel>& sub_handle : model.subs()) {
    std::vector<SubMatrix> made;
    std::optional<models::ZoneHandle> material, extra_zone;
    {
      const store::ReadGuard<SubModel> sub = store::read(sub_handle);
      const models::ModelKind& k = sub->kind();
      if (const models::Behaviour* beh = k.behaviour()) {
        const models::SpaceHandle space = beh->material_fespace();
        const auto required_views = beh->material_components();
        if (!required_views.empty()) {
          const std::vector<std::string> required(required_views.begin(), required_views.end());
          material = materials.sub_for_fespace_components(space, required);
        } else {
          material = materials.sub_for_fespace(space);
        }
        if (extra) extra_zone = extra->sub_for_fespace(space);
      }
      for (models::BlockRecipe& recipe : k.block_recipes(kind, material)) {
        std::vector<SubMatrix> blocks;
        if (auto* layout = std::get_if<models::BlockLayout>(&recipe)) {
          containers::matrix::ComputedRecipe r{containers::matrix::ErasedHandle(sub_handle), layout->fespaces,
                                               material ? std::optional(containers::matrix::ErasedHandle(*material))
                                                        : std::nullopt,
                                               kind,
                                               extra_zone
                                                   ? std::optional(containers::matrix::ErasedHandle(*extra_zone))
                                                   : std::nullopt};
          blocks.push_back(SubMatrix::computed(layout->support, layout->support, layout->dual_vars,
                                               layout->primal_vars, layout->ordering, layout->symmetric,
                                               std::move(r)));
        } else {
          blocks = std::move(std::get<models::LiteralBlocks>(recipe));
        }
        const auto physics = k.physics();
        for (SubMatrix& b : blocks) {
          b.set_physics(std::vector<containers::matrix::Physics>(physics.begin(), physics.end()));
          made.push_back(std::move(b));
        }
      }
    }
    for (SubMatrix& b : made) matrix.push_sub(store::insert(std::move(b)));
  }
  Model::Pattern pattern = model.scatter_pattern(
      kind, [&]() -> Model::Pattern { return std::make_shared<const ScatterPattern>(build_scatter_pattern(matrix)); });
  Csr csr = scatter_parallel(matrix, *pattern, interrupt);
  auto [rows, cols] = copy_tables(pattern->row_dofs, pattern->col_dofs);
  matrix.install(std::move(rows), std::move(cols), std::move(csr));
  return matrix;
}

}  // namespace quenlith::ops::assemble

