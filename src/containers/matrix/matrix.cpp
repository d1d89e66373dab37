#include "containers/matrix/matrix.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"

namespace quenlith::containers::matrix {

using Block = Matrix::Block;

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

Error not_finalized() { return Error::message("Matrix has not been finalized; call finalize() before solving"); }

std::span<const NodeId> nodes_of(const SubMatrix& b, Side side) {
  return side == Side::Rows ? b.row_nodes() : b.col_nodes();
}
const std::vector<std::string>& vars_of(const SubMatrix& b, Side side) {
  return side == Side::Rows ? b.dual_vars() : b.primal_vars();
}
const SubMatrix::Support& support_of(const SubMatrix& b, Side side) {
  return side == Side::Rows ? b.row_support() : b.col_support();
}

// Read guards on the distinct blocks of a list, taken in list order, and the block
// at every position (a block listed twice is guarded once).
struct BlockGuards {
  std::vector<store::ReadGuard<SubMatrix>> guards;
  std::vector<const SubMatrix*> at;
};

BlockGuards read_all(std::span<const Block> blocks) {
  BlockGuards g;
  std::unordered_map<Block, const SubMatrix*> seen;
  g.at.reserve(blocks.size());
  for (const Block& h : blocks) {
    auto it = seen.find(h);
    if (it == seen.end()) {
      g.guards.push_back(store::read(h));
      it = seen.emplace(h, &g.guards.back().get()).first;
    }
    g.at.push_back(it->second);
  }
  return g;
}

// The node permutation that orders the tables: that of the Coords of the first
// block's row support, when it has one.
std::optional<std::vector<std::uint32_t>> table_permutation(const std::vector<const SubMatrix*>& blocks) {
  if (blocks.empty()) return std::nullopt;
  store::Handle<mesh::Coords> coords;
  {
    store::ReadGuard<mesh::SubMesh> sub = store::read(blocks.front()->row_support());
    coords = sub->coords();
  }
  store::ReadGuard<mesh::Coords> c = store::read(coords);
  return c->permutation();
}

struct TableBuild {
  std::vector<Dof> dofs;
  // maps[k][i]: the table position of local index i of the block at position k.
  std::vector<std::vector<std::uint64_t>> maps;
};

// The (node, variable) -> table position index of one build: one array per variable
// indexed by node id when ids are dense enough (they usually are: ids are handed out
// in order), else a hash map.
class DofIndex {
 public:
  DofIndex(std::uint64_t n_vars, NodeId max_node, std::uint64_t n_pairs)
      : direct_((std::uint64_t{max_node} + 1) * std::max<std::uint64_t>(n_vars, 1) <= 4 * n_pairs + 4096),
        n_nodes_(std::uint64_t{max_node} + 1) {
    if (direct_) slots_.assign(n_vars * n_nodes_, kNone);
  }
  std::uint64_t& at(std::uint32_t var, NodeId node) {
    if (direct_) return slots_[var * n_nodes_ + node];
    return map_.try_emplace((std::uint64_t{var} << 32) | node, kNone).first->second;
  }

 private:
  bool direct_;
  std::uint64_t n_nodes_;
  std::vector<std::uint64_t> slots_;
  std::unordered_map<std::uint64_t, std::uint64_t> map_;
};

TableBuild build_table(const std::vector<const SubMatrix*>& blocks, Side side, bool want_maps,
                       const std::optional<std::vector<std::uint32_t>>& perm) {
  TableBuild t;
  // Variable names interned once: the walk below compares small integers.
  std::vector<std::string> names;
  std::unordered_map<std::string, std::uint32_t> name_id;
  std::vector<std::vector<std::uint32_t>> local_ids(blocks.size());
  NodeId max_node = 0;
  std::uint64_t n_pairs = 0;
  std::uint64_t largest = 0;
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    for (const std::string& v : vars_of(*blocks[k], side)) {
      auto [it, fresh] = name_id.try_emplace(v, static_cast<std::uint32_t>(names.size()));
      if (fresh) names.push_back(v);
      local_ids[k].push_back(it->second);
    }
    for (NodeId n : nodes_of(*blocks[k], side)) max_node = std::max(max_node, n);
    const std::uint64_t pairs = side == Side::Rows ? blocks[k]->n_rows() : blocks[k]->n_cols();
    n_pairs += pairs;
    largest = std::max(largest, pairs);
  }
  DofIndex index(names.size(), max_node, n_pairs);
  // The largest block alone: blocks usually overlap, so their sum would overshoot.
  t.dofs.reserve(largest);
  // A large table is written entry by entry into fresh memory: huge pages spare it
  // most of the page faults, which cost more than the entries.
  detail::advise_huge_pages(t.dofs.data(), largest * sizeof(Dof));
  if (want_maps) t.maps.resize(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const SubMatrix& b = *blocks[k];
    const std::span<const NodeId> nodes = nodes_of(b, side);
    const std::uint64_t nn = nodes.size();
    const std::uint64_t nv = local_ids[k].size();
    std::vector<std::uint64_t>* map = want_maps ? &t.maps[k] : nullptr;
    if (map) map->resize(nn * nv);
    // Local indices in increasing order, without a division per index.
    auto visit = [&](std::uint64_t i, std::uint64_t p, std::uint64_t v) {
      std::uint64_t& slot = index.at(local_ids[k][v], nodes[p]);
      if (slot == kNone) {
        slot = t.dofs.size();
        t.dofs.push_back(Dof{nodes[p], names[local_ids[k][v]]});
      }
      if (map) (*map)[i] = slot;
    };
    if (b.ordering() == Ordering::VarsThenNodes) {
      for (std::uint64_t v = 0, i = 0; v < nv; ++v)
        for (std::uint64_t p = 0; p < nn; ++p) visit(i++, p, v);
    } else {
      for (std::uint64_t p = 0, i = 0; p < nn; ++p)
        for (std::uint64_t v = 0; v < nv; ++v) visit(i++, p, v);
    }
  }
  if (perm && !t.dofs.empty()) {
    for (const Dof& d : t.dofs)
      QUENLITH_VERIFY(d.node < perm->size(),
                      "build_dof_table: node {} has no place in the node permutation (length {}) of the first "
                      "block's Coords",
                      d.node, perm->size());
    std::vector<std::uint64_t> order(t.dofs.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
      return (*perm)[t.dofs[a].node] < (*perm)[t.dofs[b].node];
    });
    std::vector<std::uint64_t> new_of_old(order.size());
    std::vector<Dof> sorted;
    sorted.reserve(order.size());
    for (std::uint64_t pos = 0; pos < order.size(); ++pos) {
      new_of_old[order[pos]] = pos;
      sorted.push_back(std::move(t.dofs[order[pos]]));
    }
    t.dofs = std::move(sorted);
    for (auto& map : t.maps)
      for (std::uint64_t& i : map) i = new_of_old[i];
  }
  return t;
}

std::vector<SupportGroup> groups_of(const std::vector<const SubMatrix*>& blocks, Side side) {
  std::vector<SupportGroup> groups;
  for (const SubMatrix* b : blocks) {
    const SubMatrix::Support& s = support_of(*b, side);
    auto g = std::find_if(groups.begin(), groups.end(), [&](const SupportGroup& x) { return x.support == s; });
    if (g == groups.end()) {
      const std::span<const NodeId> nodes = nodes_of(*b, side);
      groups.push_back(SupportGroup{s, std::vector<NodeId>(nodes.begin(), nodes.end()), {}});
      g = groups.end() - 1;
    }
    for (const std::string& v : vars_of(*b, side))
      if (std::find(g->vars.begin(), g->vars.end(), v) == g->vars.end()) g->vars.push_back(v);
  }
  return groups;
}

template <class Item, class Out>
void append_new(std::vector<Out>& out, const std::vector<Item>& items) {
  for (const Item& x : items)
    if (std::find(out.begin(), out.end(), x) == out.end()) out.push_back(x);
}

std::unordered_map<Dof, std::uint64_t> position_map(std::span<const Dof> table) {
  std::unordered_map<Dof, std::uint64_t> map;
  map.reserve(table.size());
  for (std::uint64_t i = 0; i < table.size(); ++i) map.try_emplace(table[i], i);
  return map;
}


// Where each table entry lies: (group, local index in NodesThenVars order) in the
// first group that holds its node and variable.
std::vector<std::pair<std::uint32_t, std::uint64_t>> locate(std::span<const Dof> table,
                                                           const std::vector<SupportGroup>& groups) {
  std::vector<std::unordered_map<NodeId, std::uint64_t>> node_pos(groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g)
    for (std::uint64_t p = 0; p < groups[g].nodes.size(); ++p) node_pos[g].try_emplace(groups[g].nodes[p], p);
  std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
  out.reserve(table.size());
  for (const Dof& d : table) {
    bool found = false;
    for (std::size_t g = 0; g < groups.size() && !found; ++g) {
      const auto v = std::find(groups[g].vars.begin(), groups[g].vars.end(), d.var);
      const auto p = node_pos[g].find(d.node);
      if (v == groups[g].vars.end() || p == node_pos[g].end()) continue;
      out.emplace_back(static_cast<std::uint32_t>(g),
                       p->second * groups[g].vars.size() + static_cast<std::uint64_t>(v - groups[g].vars.begin()));
      found = true;
    }
    QUENLITH_VERIFY(found, "Matrix: degree of freedom ({}, '{}') lies on none of the matrix's supports", d.node,
                    d.var);
  }
  return out;
}

// Literal blocks carrying a finalized form's values, one per (row group, column
// group) pair that holds entries, in order of first appearance.
std::vector<Block> blocks_from_form(const Finalized& f) {
  const auto rows = locate(f.row_dofs, f.row_groups);
  const auto cols = locate(f.col_dofs, f.col_groups);
  bool diagonal = f.row_dofs == f.col_dofs;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  std::vector<CooMatrix> coos;
  std::unordered_map<std::uint64_t, std::size_t> pair_index;
  for (std::uint64_t r = 0; r < f.csr.n_rows; ++r) {
    for (std::uint64_t k = f.csr.row_begin(r); k < f.csr.row_end(r); ++k) {
      const std::uint64_t c = f.csr.col(k);
      diagonal = diagonal && c == r;
      const auto [gr, lr] = rows[r];
      const auto [gc, lc] = cols[c];
      auto [it, fresh] = pair_index.try_emplace((std::uint64_t{gr} << 32) | gc, coos.size());
      if (fresh) {
        pairs.emplace_back(gr, gc);
        CooMatrix coo;
        coo.nrows = f.row_groups[gr].nodes.size() * f.row_groups[gr].vars.size();
        coo.ncols = f.col_groups[gc].nodes.size() * f.col_groups[gc].vars.size();
        coos.push_back(std::move(coo));
      }
      coos[it->second].push(lr, lc, f.csr.values[k]);
    }
  }
  std::vector<Block> out;
  for (std::size_t q = 0; q < pairs.size(); ++q) {
    const SupportGroup& gr = f.row_groups[pairs[q].first];
    const SupportGroup& gc = f.col_groups[pairs[q].second];
    out.push_back(store::insert(SubMatrix::from_coo(gr.support, gc.support, gr.vars, gc.vars, Ordering::NodesThenVars,
                                                    diagonal, std::move(coos[q]))));
  }
  return out;
}

double times(double v, double s) { return v * s; }
double divided(double v, double s) { return v / s; }

Matrix scaled_copy(const Matrix& m, double s, double (*op)(double, double)) {
  if (m.empty() && m.is_finalized()) {
    Finalized f = *m.finalized();
    f.csr = f.csr.scaled(op, s);
    return Matrix::from_finalized(std::move(f));
  }
  Matrix out;
  for (const Block& h : m.subs()) {
    SubMatrix copy = [&] {
      store::ReadGuard<SubMatrix> g = store::read(h);
      SubMatrix c = g->clone_block();
      c.set_factor(op(g->factor(), s));
      return c;
    }();
    out.push_sub(store::insert(std::move(copy)));
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// SolverCache

void SolverCache::set(std::shared_ptr<const SolverPayload> payload) {
  std::shared_ptr<const SolverPayload> old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(payload_, std::move(payload));
  }
  // The previous payload goes outside the lock.
}

std::shared_ptr<const SolverPayload> SolverCache::get() const {
  std::lock_guard lock(mutex_);
  return payload_;
}

std::shared_ptr<const SolverPayload> SolverCache::take() noexcept {
  std::lock_guard lock(mutex_);
  return std::exchange(payload_, nullptr);
}

// ---------------------------------------------------------------------------
// Matrix

Matrix::Matrix(Matrix&& other) noexcept
    : SubList(std::move(other)),
      finalized_(std::exchange(other.finalized_, std::nullopt)),
      cache_(std::move(other.cache_)),
      form_blocks_(other.form_blocks_.exchange(nullptr)) {}

Matrix& Matrix::operator=(Matrix&& other) noexcept {
  if (this != &other) {
    SubList::operator=(std::move(other));
    finalized_ = std::exchange(other.finalized_, std::nullopt);
    cache_ = std::move(other.cache_);
    delete form_blocks_.exchange(other.form_blocks_.exchange(nullptr));
  }
  return *this;
}

Matrix::~Matrix() { delete form_blocks_.load(); }

Matrix Matrix::block(SubMatrix::Support row_support, SubMatrix::Support col_support,
                     std::vector<std::string> dual_vars, std::vector<std::string> primal_vars, Ordering ordering,
                     bool symmetric) {
  Matrix m;
  m.push_sub(store::insert(SubMatrix::new_(std::move(row_support), std::move(col_support), std::move(dual_vars),
                                          std::move(primal_vars), ordering, symmetric)));
  return m;
}

Matrix Matrix::from_finalized(Finalized finalized) {
  Matrix m;
  m.finalized_ = std::move(finalized);
  return m;
}

void Matrix::reset_state() {
  finalized_.reset();
  cache_.clear();
  delete form_blocks_.exchange(nullptr);
}

void Matrix::push_sub(Block sub) {
  if (empty() && finalized_ && finalized_->csr.nnz() > 0) mutable_subs() = contributing_blocks();
  mutable_subs().push_back(std::move(sub));
  reset_state();
}

std::vector<Block> Matrix::contributing_blocks() const {
  if (!empty() || !finalized_ || finalized_->csr.nnz() == 0) return std::vector<Block>(subs().begin(), subs().end());
  if (std::vector<Block>* made = form_blocks_.load(std::memory_order_acquire)) return *made;
  auto made = std::make_unique<std::vector<Block>>(blocks_from_form(*finalized_));
  std::vector<Block>* expected = nullptr;
  if (form_blocks_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return *made.release();
  return *expected;
}

void Matrix::check_not_form_only(std::string_view operation) const {
  QUENLITH_VERIFY(!(empty() && finalized_ && finalized_->csr.nnz() > 0),
                  "{}: this matrix holds only a finalized form (no blocks, as lump returns); its values would be "
                  "dropped",
                  operation);
}

Matrix Matrix::union_(const Matrix& a, const Matrix& b) {
  Matrix both;
  both.extend_unique(a.contributing_blocks());
  both.extend_unique(b.contributing_blocks());
  return both;
}

Matrix Matrix::union_sub(const Block& sub) const {
  Matrix m;
  m.extend_unique(contributing_blocks());
  if (std::find(m.subs().begin(), m.subs().end(), sub) == m.subs().end()) m.push_sub(sub);
  return m;
}

Matrix Matrix::union_(const Block& a, const Block& b) {
  Matrix m = SubList::union_(a, b);
  m.finalize();
  return m;
}

Matrix Matrix::slice(std::span<const std::uint64_t> indices) const {
  check_not_form_only("Matrix slice");
  return SubList::slice(indices);
}

Matrix Matrix::filter(Physics tag) const {
  check_not_form_only("filter");
  std::vector<std::uint64_t> keep;
  for (std::uint64_t i = 0; i < size(); ++i) {
    store::ReadGuard<SubMatrix> g = store::read(subs()[i]);
    const auto p = g->physics();
    if (std::find(p.begin(), p.end(), tag) != p.end()) keep.push_back(i);
  }
  return SubList::slice(keep);
}

void Matrix::finalize() {
  if (finalized_) return;
  BlockGuards g = read_all(subs());
  for (const SubMatrix* b : g.at)
    if (b->is_computed())
      throw Error::message(
          "Matrix::finalize: this matrix carries a computed block; assemble it with ops::assemble::assemble(&mut m) "
          "(or ops::assemble::stiffness), which scatters the kernel into the global CSR — finalize() cannot (it "
          "must not reach into the model/kernel)");
  const auto perm = table_permutation(g.at);
  // The two tables are independent: built side by side.
  TableBuild rows;
  TableBuild cols;
  parallel::for_chunks(2, 1, [&](parallel::Index b, parallel::Index e) {
    for (parallel::Index side = b; side < e; ++side)
      (side == 0 ? rows : cols) = build_table(g.at, side == 0 ? Side::Rows : Side::Cols, true, perm);
  });
  std::vector<TripletSource> sources;
  sources.reserve(g.at.size());
  for (std::size_t k = 0; k < g.at.size(); ++k) {
    const CooMatrix& coo = g.at[k]->coo();
    sources.push_back(TripletSource{coo.rows, coo.cols, coo.values, rows.maps[k], cols.maps[k], g.at[k]->factor()});
  }
  Csr csr = csr_from_triplets_parallel(rows.dofs.size(), cols.dofs.size(), sources);
  // The maps go before the groups are made: they may be the largest transient arrays.
  rows.maps.clear();
  cols.maps.clear();
  finalized_ = Finalized{std::move(rows.dofs), std::move(cols.dofs), std::move(csr), groups_of(g.at, Side::Rows),
                         groups_of(g.at, Side::Cols)};
}

void Matrix::install(std::vector<Dof> row_dofs, std::vector<Dof> col_dofs, Csr csr) {
  BlockGuards g = read_all(subs());
  Finalized f{std::move(row_dofs), std::move(col_dofs), std::move(csr), groups_of(g.at, Side::Rows),
              groups_of(g.at, Side::Cols)};
  g = BlockGuards{};
  reset_state();
  finalized_ = std::move(f);
}

std::vector<Dof> Matrix::build_dof_table(Side side) const {
  BlockGuards g = read_all(subs());
  return build_table(g.at, side, false, table_permutation(g.at)).dofs;
}

std::vector<Dof> Matrix::dof_table(Side side) const {
  if (finalized_) return side == Side::Rows ? finalized_->row_dofs : finalized_->col_dofs;
  return build_dof_table(side);
}

double Matrix::get(NodeId row_node, std::string_view row_var, NodeId col_node, std::string_view col_var) const {
  if (!finalized_) {
    double sum = 0.0;
    for (const Block& h : subs()) sum += store::read(h)->get(row_node, row_var, col_node, col_var);
    return sum;
  }
  auto find = [](const std::vector<Dof>& table, NodeId node, std::string_view var) {
    for (std::uint64_t i = 0; i < table.size(); ++i)
      if (table[i].node == node && table[i].var == var) return i;
    return kNone;
  };
  const std::uint64_t r = find(finalized_->row_dofs, row_node, row_var);
  const std::uint64_t c = find(finalized_->col_dofs, col_node, col_var);
  if (r == kNone || c == kNone) return 0.0;
  return finalized_->csr.find(r, c).value_or(0.0);
}

std::vector<double> Matrix::to_dense() const {
  if (!finalized_) throw not_finalized();
  return finalized_->csr.to_dense();
}

std::vector<double> Matrix::mul_dense(std::span<const double> x) const {
  if (!finalized_) throw not_finalized();
  QUENLITH_VERIFY(x.size() == finalized_->csr.n_cols, "mul_dense: x has length {} but matrix has {} columns", x.size(),
                  finalized_->csr.n_cols);
  return finalized_->csr.mul_dense(x);
}

std::uint64_t Matrix::n_rows() const { return finalized_ ? finalized_->row_dofs.size() : build_dof_table(Side::Rows).size(); }
std::uint64_t Matrix::n_cols() const { return finalized_ ? finalized_->col_dofs.size() : build_dof_table(Side::Cols).size(); }
std::vector<Dof> Matrix::row_dofs() const { return finalized_ ? finalized_->row_dofs : build_dof_table(Side::Rows); }
std::vector<Dof> Matrix::col_dofs() const { return finalized_ ? finalized_->col_dofs : build_dof_table(Side::Cols); }

std::vector<SubMatrix::Entry> Matrix::entries() const {
  std::vector<SubMatrix::Entry> out;
  for (const Block& h : subs()) {
    std::vector<SubMatrix::Entry> e = store::read(h)->entries();
    out.insert(out.end(), std::make_move_iterator(e.begin()), std::make_move_iterator(e.end()));
  }
  return out;
}

std::uint64_t Matrix::entry_count() const {
  std::uint64_t n = 0;
  for (const Block& h : subs()) n += store::read(h)->entry_count();
  return n;
}

std::vector<std::string> Matrix::field_names() const {
  std::vector<std::string> out;
  for (const Block& h : subs()) append_new(out, store::read(h)->field_names());
  return out;
}

std::vector<Physics> Matrix::physics() const {
  std::vector<Physics> out;
  for (const Block& h : subs()) {
    store::ReadGuard<SubMatrix> g = store::read(h);
    for (Physics p : g->physics())
      if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
  }
  return out;
}

bool Matrix::symmetric() const {
  for (const Block& h : subs())
    if (!store::read(h)->symmetric()) return false;
  return true;
}

node_field::NodeField Matrix::field_from_values(std::span<const double> values, Side side) const {
  if (!finalized_) throw not_finalized();
  const std::vector<Dof>& table = side == Side::Rows ? finalized_->row_dofs : finalized_->col_dofs;
  QUENLITH_VERIFY(values.size() == table.size(), "field_from_{}_values: {} value(s) for {} DOF(s)",
                  side == Side::Rows ? "row" : "col", values.size(), table.size());
  const auto position = position_map(table);
  node_field::NodeField field;
  for (const SupportGroup& g : side == Side::Rows ? finalized_->row_groups : finalized_->col_groups) {
    node_field::SubNodeField zone = node_field::SubNodeField::create(g.support, g.vars);
    Dof key;
    for (std::uint64_t k = 0; k < g.nodes.size(); ++k) {
      key.node = g.nodes[k];
      for (std::uint64_t j = 0; j < g.vars.size(); ++j) {
        key.var = g.vars[j];
        const auto it = position.find(key);
        if (it != position.end()) zone.set(k, j, values[it->second]);
      }
    }
    field.push_sub(store::insert(std::move(zone)));
  }
  return field;
}

node_field::NodeField Matrix::mul_field(const node_field::NodeField& field) const {
  const std::vector<double> y = mul_dense(field.dof_values(dof_list(col_dofs())));
  return field_from_values(y, Side::Rows);
}

std::vector<SupportGroup> Matrix::support_groups(Side side) const {
  if (finalized_) return side == Side::Rows ? finalized_->row_groups : finalized_->col_groups;
  BlockGuards g = read_all(subs());
  return groups_of(g.at, side);
}

Matrix Matrix::mul_scalar(double s) const { return scaled_copy(*this, s, times); }
Matrix Matrix::div_scalar(double s) const { return scaled_copy(*this, s, divided); }

std::vector<Matrix::Triplet> Matrix::gather_triplets(std::span<const Dof> row_table,
                                                     std::span<const Dof> col_table) const {
  const auto row_pos = position_map(row_table);
  const auto col_pos = position_map(col_table);
  std::vector<Triplet> out;
  for (const Block& h : subs()) {
    store::ReadGuard<SubMatrix> g = store::read(h);
    const SubMatrix& b = *g;
    std::vector<std::uint64_t> rmap(b.n_rows());
    std::vector<std::uint64_t> cmap(b.n_cols());
    for (std::uint64_t i = 0; i < rmap.size(); ++i) rmap[i] = row_pos.at(b.row_dof(i));
    for (std::uint64_t j = 0; j < cmap.size(); ++j) cmap[j] = col_pos.at(b.col_dof(j));
    const CooMatrix& coo = b.coo();
    for (std::uint64_t k = 0; k < coo.size(); ++k)
      out.push_back(Triplet{rmap[coo.rows[k]], cmap[coo.cols[k]], coo.values[k] * b.factor()});
  }
  return out;
}

std::string Matrix::display_text() const {
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  try {
    rows = n_rows();
  } catch (const Error&) {
  }
  try {
    cols = n_cols();
  } catch (const Error&) {
  }
  bool sym = true;
  for (const Block& h : subs()) {
    try {
      sym = store::read(h)->symmetric();
    } catch (const Error&) {
      sym = false;
    }
    if (!sym) break;
  }
  return fmt::format("Matrix: {} sub-matrix(es), {} row(s) × {} col(s){}", subs().size(), rows, cols,
                     sym ? ", symmetric" : "");
}

std::string Matrix::dump_text(const dump::DumpOptions& options) const {
  std::vector<Dof> rows;
  std::vector<Dof> cols;
  std::vector<double> dense;
  if (finalized_) {
    rows = finalized_->row_dofs;
    cols = finalized_->col_dofs;
    dense = finalized_->csr.to_dense();
  } else {
    std::vector<Triplet> triplets;
    try {
      rows = build_dof_table(Side::Rows);
      cols = build_dof_table(Side::Cols);
      triplets = gather_triplets(rows, cols);
    } catch (const Error& e) {
      return fmt::format("{}\n<{}>", display_text(), e.text());
    }
    dense.assign(rows.size() * cols.size(), 0.0);
    for (const Triplet& t : triplets) dense[t.row * cols.size() + t.col] += t.value;
  }
  std::string out = display_text();
  out += '\n';
  out += dump::dump_value_table(dof_labels(rows), dof_labels(cols), dense, options);
  return out;
}

}  // namespace quenlith::containers::matrix
