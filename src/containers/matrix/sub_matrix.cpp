#include "containers/matrix/sub_matrix.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "containers/matrix/csr.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::containers::matrix {


namespace {

constexpr std::uint64_t kAbsent = ~std::uint64_t{0};

template <class T, class V>
std::uint64_t first_position(std::span<const T> list, const V& value) noexcept {
  const auto it = std::find(list.begin(), list.end(), value);
  return it == list.end() ? kAbsent : static_cast<std::uint64_t>(it - list.begin());
}

std::vector<NodeId> copy_connectivity(const SubMatrix::Support& support) {
  store::ReadGuard<mesh::SubMesh> guard = store::read(support);
  const std::span<const NodeId> c = guard->connectivity();
  return std::vector<NodeId>(c.begin(), c.end());
}

void fill_index(std::unordered_map<NodeId, std::uint64_t>& index, std::span<const NodeId> nodes) {
  if (!index.empty() || nodes.empty()) return;
  index.reserve(nodes.size());
  for (std::uint64_t p = 0; p < nodes.size(); ++p) index.try_emplace(nodes[p], p);
}


}  // namespace

void CooMatrix::push(std::uint64_t row, std::uint64_t col, double value) {
  QUENLITH_VERIFY(row < nrows && col < ncols, "coo: entry ({}, {}) out of bounds for {}×{}", row, col, nrows, ncols);
  rows.push_back(static_cast<std::uint32_t>(row));
  cols.push_back(static_cast<std::uint32_t>(col));
  values.push_back(value);
}

SubMatrix SubMatrix::make(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                          std::vector<std::string> primal_vars, Ordering ordering, bool symmetric) {
  SubMatrix b;
  b.row_nodes_ = copy_connectivity(row_support);
  b.col_nodes_ = copy_connectivity(col_support);
  b.row_support_ = mesh::SubMesh::seal(row_support);
  b.col_support_ = mesh::SubMesh::seal(col_support);
  b.dual_vars_ = std::move(dual_vars);
  b.primal_vars_ = std::move(primal_vars);
  b.ordering_ = ordering;
  b.symmetric_ = symmetric;
  b.coo_.nrows = b.row_nodes_.size() * b.dual_vars_.size();
  b.coo_.ncols = b.col_nodes_.size() * b.primal_vars_.size();
  QUENLITH_VERIFY(b.coo_.nrows <= CooMatrix::kMaxSide && b.coo_.ncols <= CooMatrix::kMaxSide,
                  "SubMatrix: {}×{} is beyond the 2^32 rows and columns a block can index", b.coo_.nrows, b.coo_.ncols);
  return b;
}

SubMatrix SubMatrix::new_(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                          std::vector<std::string> primal_vars, Ordering ordering, bool symmetric) {
  return make(std::move(row_support), std::move(col_support), std::move(dual_vars), std::move(primal_vars), ordering,
              symmetric);
}

SubMatrix SubMatrix::computed(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                              std::vector<std::string> primal_vars, Ordering ordering, bool symmetric,
                              ComputedRecipe recipe) {
  SubMatrix b = make(std::move(row_support), std::move(col_support), std::move(dual_vars), std::move(primal_vars),
                     ordering, symmetric);
  b.recipe_ = std::move(recipe);
  return b;
}

SubMatrix SubMatrix::from_coo(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                              std::vector<std::string> primal_vars, Ordering ordering, bool symmetric, CooMatrix coo) {
  SubMatrix b = make(std::move(row_support), std::move(col_support), std::move(dual_vars), std::move(primal_vars),
                     ordering, symmetric);
  QUENLITH_VERIFY(coo.nrows == b.coo_.nrows && coo.ncols == b.coo_.ncols,
                  "from_coo: COO is {}×{} but the support/vars imply {}×{}", coo.nrows, coo.ncols, b.coo_.nrows,
                  b.coo_.ncols);
  b.coo_ = std::move(coo);
  return b;
}

std::uint64_t SubMatrix::local_index(std::uint64_t p, std::uint64_t v, std::uint64_t nn,
                                     std::uint64_t nv) const noexcept {
  return ordering_ == Ordering::VarsThenNodes ? v * nn + p : p * nv + v;
}

void SubMatrix::add_entry(NodeId row_node, std::string_view row_var, NodeId col_node, std::string_view col_var,
                          double value) {
  if (recipe_)
    throw Error::message(
        "add_entry: this is a computed block (its values come from its recipe at assembly time); literal entries "
        "cannot be added");
  fill_index(row_index_, row_nodes_);
  fill_index(col_index_, col_nodes_);
  const auto rp = row_index_.find(row_node);
  QUENLITH_VERIFY(rp != row_index_.end(), "add_entry: row node {} not in row_support", row_node);
  const std::uint64_t rv = first_position<std::string>(dual_vars_, row_var);
  QUENLITH_VERIFY(rv != kAbsent, "add_entry: row var '{}' not in dual_vars", row_var);
  const auto cp = col_index_.find(col_node);
  QUENLITH_VERIFY(cp != col_index_.end(), "add_entry: col node {} not in col_support", col_node);
  const std::uint64_t cv = first_position<std::string>(primal_vars_, col_var);
  QUENLITH_VERIFY(cv != kAbsent, "add_entry: col var '{}' not in primal_vars", col_var);
  coo_.push(local_index(rp->second, rv, row_nodes_.size(), dual_vars_.size()),
            local_index(cp->second, cv, col_nodes_.size(), primal_vars_.size()), value);
}

double SubMatrix::get(NodeId row_node, std::string_view row_var, NodeId col_node, std::string_view col_var) const {
  const std::uint64_t rp = first_position<NodeId>(row_nodes_, row_node);
  const std::uint64_t rv = first_position<std::string>(dual_vars_, row_var);
  const std::uint64_t cp = first_position<NodeId>(col_nodes_, col_node);
  const std::uint64_t cv = first_position<std::string>(primal_vars_, col_var);
  if (rp == kAbsent || rv == kAbsent || cp == kAbsent || cv == kAbsent) return 0.0;
  const std::uint64_t i = local_index(rp, rv, row_nodes_.size(), dual_vars_.size());
  const std::uint64_t j = local_index(cp, cv, col_nodes_.size(), primal_vars_.size());
  double sum = -0.0;
  for (std::uint64_t k = 0; k < coo_.size(); ++k)
    if (coo_.rows[k] == i && coo_.cols[k] == j) sum += coo_.values[k];
  return sum * factor_;
}

Dof SubMatrix::row_dof(std::uint64_t i) const {
  const std::uint64_t nn = row_nodes_.size();
  const std::uint64_t nv = dual_vars_.size();
  return ordering_ == Ordering::VarsThenNodes ? Dof{row_nodes_[i % nn], dual_vars_[i / nn]}
                                              : Dof{row_nodes_[i / nv], dual_vars_[i % nv]};
}

Dof SubMatrix::col_dof(std::uint64_t j) const {
  const std::uint64_t nn = col_nodes_.size();
  const std::uint64_t nv = primal_vars_.size();
  return ordering_ == Ordering::VarsThenNodes ? Dof{col_nodes_[j % nn], primal_vars_[j / nn]}
                                              : Dof{col_nodes_[j / nv], primal_vars_[j % nv]};
}

std::vector<Dof> SubMatrix::row_dofs() const {
  std::vector<Dof> out;
  out.reserve(n_rows());
  for (std::uint64_t i = 0; i < n_rows(); ++i) out.push_back(row_dof(i));
  return out;
}

std::vector<Dof> SubMatrix::col_dofs() const {
  std::vector<Dof> out;
  out.reserve(n_cols());
  for (std::uint64_t j = 0; j < n_cols(); ++j) out.push_back(col_dof(j));
  return out;
}

std::vector<SubMatrix::Entry> SubMatrix::entries() const {
  std::vector<Entry> out;
  out.reserve(coo_.size());
  for (std::uint64_t k = 0; k < coo_.size(); ++k) {
    Dof r = row_dof(coo_.rows[k]);
    Dof c = col_dof(coo_.cols[k]);
    out.push_back(Entry{r.node, std::move(r.var), c.node, std::move(c.var), coo_.values[k] * factor_});
  }
  return out;
}

std::vector<double> SubMatrix::to_dense() const {
  std::vector<double> out(n_rows() * n_cols(), 0.0);
  for (std::uint64_t k = 0; k < coo_.size(); ++k) out[coo_.rows[k] * n_cols() + coo_.cols[k]] += factor_ * coo_.values[k];
  return out;
}

std::vector<double> SubMatrix::mul_dense(std::span<const double> x) const {
  QUENLITH_VERIFY(x.size() == n_cols(), "mul_dense: x has length {} but sub-matrix has {} columns", x.size(), n_cols());
  // A factor of exactly 1.0 (NaN is not) leaves the stored values as they are.
  const TripletSource source{coo_.rows, coo_.cols, coo_.values, {}, {}, factor_ == 1.0 ? 1.0 : factor_};
  return csr_from_triplets_parallel(n_rows(), n_cols(), std::span<const TripletSource>(&source, 1)).mul_dense(x);
}

std::vector<std::string> SubMatrix::field_names() const {
  std::vector<std::string> out = dual_vars_;
  for (const std::string& v : primal_vars_)
    if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
  return out;
}

SubMatrix SubMatrix::clone_block() const {
  SubMatrix b;
  b.row_support_ = row_support_;
  b.col_support_ = col_support_;
  b.row_nodes_ = row_nodes_;
  b.col_nodes_ = col_nodes_;
  b.dual_vars_ = dual_vars_;
  b.primal_vars_ = primal_vars_;
  b.ordering_ = ordering_;
  b.coo_ = coo_;
  b.symmetric_ = symmetric_;
  b.recipe_ = recipe_;
  b.physics_ = physics_;
  b.factor_ = factor_;
  b.row_index_ = row_index_;
  b.col_index_ = col_index_;
  return b;
}

std::string SubMatrix::display_text() const {
  std::string out = fmt::format("SubMatrix: {} row(s) × {} col(s), ", n_rows(), n_cols());
  if (recipe_)
    out += "computed (values from recipe)";
  else
    out += fmt::format("{} entries", entry_count());
  if (symmetric_) out += ", symmetric";
  if (!physics_.empty()) {
    out += ", ";
    out += dump::join(physics_tag_names(physics_), "+");
  }
  if (!(factor_ == 1.0)) {
    out += ", ×";
    out += dump::plain_number(factor_);
  }
  return out;
}

std::string SubMatrix::debug_text() const {
  return dump::DebugRecord("SubMatrix")
      .field("n_rows", std::to_string(n_rows()))
      .field("n_cols", std::to_string(n_cols()))
      .field("entries", std::to_string(entry_count()))
      .field("symmetric", dump::debug_flag(symmetric_))
      .field("dual_vars", dump::debug_quoted_list(dual_vars_))
      .field("primal_vars", dump::debug_quoted_list(primal_vars_))
      .field("ordering", ordering_debug_text(ordering_))
      .field("factor", dump::debug_number(factor_))
      .finish();
}

std::string SubMatrix::dump_text(const dump::DumpOptions& options) const {
  if (recipe_) {
    std::vector<std::string> spaces;
    for (const auto& h : recipe_->fespaces) spaces.push_back(h.debug_text());
    return fmt::format("{}\n  recipe: submodel {}, fespaces {}{}\n  dual_vars: [{}]\n  primal_vars: [{}]",
                       display_text(), recipe_->submodel.debug_text(), dump::debug_list(spaces),
                       recipe_->material ? fmt::format(", material {}", recipe_->material->debug_text()) : "",
                       dump::join(dual_vars_, ", "), dump::join(primal_vars_, ", "));
  }
  const std::vector<std::string> rows = dof_labels(row_dofs());
  const std::vector<std::string> cols = dof_labels(col_dofs());
  std::string out = display_text();
  out += '\n';
  out += dump::dump_value_table(rows, cols, to_dense(), options);
  return out;
}

void SubMatrix::encode(store::RecordWriter& w) const {
  w.write_handle(row_support_);
  w.write_handle(col_support_);
  w.write_u32_list(row_nodes_);
  w.write_u32_list(col_nodes_);
  w.write_string_list(dual_vars_);
  w.write_string_list(primal_vars_);
  w.write_variant(static_cast<std::uint32_t>(ordering_));
  w.write_u64(coo_.nrows);
  w.write_u64(coo_.ncols);
  w.write_list(coo_.rows, [](store::RecordWriter& out, std::uint32_t i) { out.write_u64(i); });
  w.write_list(coo_.cols, [](store::RecordWriter& out, std::uint32_t i) { out.write_u64(i); });
  w.write_f64_list(coo_.values);
  w.write_bool(symmetric_);
  w.write_optional(recipe_, [](store::RecordWriter& out, const ComputedRecipe& r) { r.encode(out); });
  w.write_list(physics_, [](store::RecordWriter& out, Physics p) { out.write_variant(static_cast<std::uint32_t>(p)); });
  w.write_f64(factor_);
}

SubMatrix SubMatrix::decode(store::RecordReader& r) {
  using store::RecordReader;
  SubMatrix b;
  b.row_support_ = r.read_handle<mesh::SubMesh>();
  b.col_support_ = r.read_handle<mesh::SubMesh>();
  b.row_nodes_ = r.read_u32_list();
  b.col_nodes_ = r.read_u32_list();
  b.dual_vars_ = r.read_string_list();
  b.primal_vars_ = r.read_string_list();
  b.ordering_ = static_cast<Ordering>(r.read_variant(kOrderingCount));
  b.coo_.nrows = r.read_u64();
  b.coo_.ncols = r.read_u64();
  std::vector<std::uint64_t> rows = r.read_u64_list();
  std::vector<std::uint64_t> cols = r.read_u64_list();
  std::vector<double> values = r.read_f64_list();
  // Three lists of one length, or the record is not one the block wrote.
  RecordReader::check(rows.size() == cols.size() && rows.size() == values.size(),
                      "CooData record: {} row indices, {} column indices and {} values", rows.size(), cols.size(),
                      values.size());
  for (std::uint64_t k = 0; k < rows.size(); ++k)
    RecordReader::check(rows[k] < b.coo_.nrows && cols[k] < b.coo_.ncols,
                        "CooData record: entry {} at ({}, {}) is out of bounds for {}×{}", k, rows[k], cols[k],
                        b.coo_.nrows, b.coo_.ncols);
  b.coo_.rows.assign(rows.begin(), rows.end());
  b.coo_.cols.assign(cols.begin(), cols.end());
  b.coo_.values = std::move(values);
  // Every reader maps local indices through the node and variable lists: a size that
  // disagrees with them would send those reads past the lists' ends.
  RecordReader::check(b.coo_.nrows == b.row_nodes_.size() * b.dual_vars_.size() &&
                          b.coo_.ncols == b.col_nodes_.size() * b.primal_vars_.size(),
                      "SubMatrix record: COO is {}×{} but the nodes/vars imply {}×{}", b.coo_.nrows, b.coo_.ncols,
                      b.row_nodes_.size() * b.dual_vars_.size(), b.col_nodes_.size() * b.primal_vars_.size());
  RecordReader::check(b.coo_.nrows <= CooMatrix::kMaxSide && b.coo_.ncols <= CooMatrix::kMaxSide,
                      "SubMatrix record: {}×{} is beyond the 2^32 rows and columns a block can index", b.coo_.nrows,
                      b.coo_.ncols);
  b.symmetric_ = r.read_bool();
  b.recipe_ = r.read_optional([](RecordReader& in) { return ComputedRecipe::decode(in); });
  b.physics_ = r.read_list([](RecordReader& in) { return static_cast<Physics>(in.read_variant(kPhysicsCount)); });
  b.factor_ = r.read_f64();
  return b;
}

}  // namespace quenlith::containers::matrix
