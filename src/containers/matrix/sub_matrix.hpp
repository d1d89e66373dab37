#pragma once
// SubMatrix: one rectangular block of a global matrix (a stored object).
//
// Rows are the pairs (row node, dual variable) over the nodes of the row support,
// columns the pairs (column node, primal variable) over the column support. Stored
// fields (also the order of the swap record):
//   row_support_, col_support_  counted handles on the supports, sealed when the
//                               block was made, so their connectivity never changes
//   row_nodes_, col_nodes_      the supports' connectivity copied whole (repeats kept)
//   dual_vars_, primal_vars_    the row and column variable names, in order
//   ordering_                   how a local index enumerates (node, variable) pairs
//   coo_                        the literal entries in insertion order (repeated
//                               positions stay separate entries)
//   symmetric_                  declared symmetry: carried and shown, never used
//   recipe_                     present exactly for a computed block (then coo_ is empty)
//   physics_                    tags of the producing sub-model; empty when hand-made
//   factor_                     multiplies every value the block emits
// n_rows = |row_nodes| * |dual_vars| = coo_.nrows, n_cols likewise, always.
//
// Beside them two lookup tables (node id -> first position in row_nodes_ /
// col_nodes_), not in the record: empty after construction and after a read-back,
// filled by the first add_entry.
//
// Errors are Error values (Message with the texts below; guard errors of the
// supports unchanged).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "containers/matrix/computed_recipe.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/mesh/submesh.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::matrix {

// A block's entries in coordinate form: (row, column, value) triplets in insertion
// order, every row below nrows and every column below ncols. Local indices are kept
// in 32 bits (a block has at most 2^32 rows and 2^32 columns): finalize streams
// these arrays twice, and a third less to read is a third less time there.
struct CooMatrix {
  static constexpr std::uint64_t kMaxSide = std::uint64_t{1} << 32;
  std::uint64_t nrows = 0;
  std::uint64_t ncols = 0;
  std::vector<std::uint32_t> rows;
  std::vector<std::uint32_t> cols;
  std::vector<double> values;

  std::uint64_t size() const noexcept { return values.size(); }
  // Appends one entry; "coo: entry ({}, {}) out of bounds for {}×{}" when it does not fit.
  void push(std::uint64_t row, std::uint64_t col, double value);
};

class SubMatrix {
 public:
  using Support = store::Handle<mesh::SubMesh>;

  // An empty literal block. Copies each support's connectivity under a read guard,
  // then seals the row support and then the column support.
  static SubMatrix new_(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                        std::vector<std::string> primal_vars, Ordering ordering, bool symmetric);
  // A computed block carrying `recipe` (released on failure).
  static SubMatrix computed(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                            std::vector<std::string> primal_vars, Ordering ordering, bool symmetric,
                            ComputedRecipe recipe);
  // Every constructor refuses a block of more than 2^32 rows or columns: "SubMatrix:
  // {}×{} is beyond the 2^32 rows and columns a block can index".
  // A literal block holding `coo`; "from_coo: COO is {}×{} but the support/vars imply
  // {}×{}" when its size does not match (the supports are sealed by then).
  static SubMatrix from_coo(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                            std::vector<std::string> primal_vars, Ordering ordering, bool symmetric, CooMatrix coo);

  SubMatrix(SubMatrix&&) noexcept = default;
  SubMatrix& operator=(SubMatrix&&) noexcept = default;
  SubMatrix(const SubMatrix&) = delete;
  SubMatrix& operator=(const SubMatrix&) = delete;

  const Support& row_support() const noexcept { return row_support_; }
  const Support& col_support() const noexcept { return col_support_; }
  std::span<const NodeId> row_nodes() const noexcept { return row_nodes_; }
  std::span<const NodeId> col_nodes() const noexcept { return col_nodes_; }
  const std::vector<std::string>& dual_vars() const noexcept { return dual_vars_; }
  const std::vector<std::string>& primal_vars() const noexcept { return primal_vars_; }
  Ordering ordering() const noexcept { return ordering_; }
  const CooMatrix& coo() const noexcept { return coo_; }
  bool symmetric() const noexcept { return symmetric_; }
  const std::optional<ComputedRecipe>& recipe() const noexcept { return recipe_; }
  bool is_computed() const noexcept { return recipe_.has_value(); }
  std::span<const Physics> physics() const noexcept { return physics_; }
  double factor() const noexcept { return factor_; }
  std::uint64_t n_rows() const noexcept { return coo_.nrows; }
  std::uint64_t n_cols() const noexcept { return coo_.ncols; }
  // Stored entries, repeated positions counted one by one.
  std::uint64_t entry_count() const noexcept { return coo_.size(); }

  // Set by the assembly before it stores a block it made.
  void set_physics(std::vector<Physics> physics) { physics_ = std::move(physics); }

  // Appends one literal entry, the value unscaled. Errors in this order: computed
  // block; "add_entry: row node {} not in row_support"; "add_entry: row var '{}' not
  // in dual_vars"; "add_entry: col node {} not in col_support"; "add_entry: col var
  // '{}' not in primal_vars". A failure stores nothing.
  void add_entry(NodeId row_node, std::string_view row_var, NodeId col_node, std::string_view col_var, double value);

  // The sum of the entries at that position (from -0.0, insertion order) times the
  // factor; 0.0 when a node or variable is not in the block.
  double get(NodeId row_node, std::string_view row_var, NodeId col_node, std::string_view col_var) const;

  struct Entry {
    NodeId row_node;
    std::string row_var;
    NodeId col_node;
    std::string col_var;
    double value;  // times the factor
  };
  std::vector<Entry> entries() const;
  // Row-major n_rows x n_cols, factor applied, repeated positions summed.
  std::vector<double> to_dense() const;
  // y = A x with repeated positions summed first. "mul_dense: x has length {} but
  // sub-matrix has {} columns".
  std::vector<double> mul_dense(std::span<const double> x) const;

  Dof row_dof(std::uint64_t i) const;
  Dof col_dof(std::uint64_t j) const;
  std::vector<Dof> row_dofs() const;
  std::vector<Dof> col_dofs() const;
  // The dual variables, then each primal one not listed yet.
  std::vector<std::string> field_names() const;

  // A deep copy for a scaled matrix: new clones of the support and recipe handles,
  // everything else copied (the factor too: the caller sets the new one).
  SubMatrix clone_block() const;
  void set_factor(double factor) noexcept { factor_ = factor; }

  // Text forms.
  // "SubMatrix: {} row(s) × {} col(s), {entries|computed}{, symmetric}{, tags}{, ×factor}"
  std::string display_text() const;
  // SubMatrix { n_rows: .., n_cols: .., entries: .., symmetric: .., dual_vars: [..],
  //             primal_vars: [..], ordering: NodesThenVars, factor: 1.0 }
  std::string debug_text() const;
  // A literal block: the display text and its dense table labelled "(node,var)"; a
  // computed one: the display text and its recipe lines. Never fails but for a
  // precision above the formatter's limit.
  std::string dump_text(const dump::DumpOptions& options) const;

  void encode(store::RecordWriter& w) const;
  // Rebuilds the entries from the CooData record: a row or column index out of its
  // bound, or lists of different lengths, refuse the record.
  static SubMatrix decode(store::RecordReader& r);

 private:
  SubMatrix() = default;
  static SubMatrix make(Support row_support, Support col_support, std::vector<std::string> dual_vars,
                        std::vector<std::string> primal_vars, Ordering ordering, bool symmetric);
  // Local index of (node position p, variable position v) among nn nodes and nv vars.
  std::uint64_t local_index(std::uint64_t p, std::uint64_t v, std::uint64_t nn, std::uint64_t nv) const noexcept;

  Support row_support_;
  Support col_support_;
  std::vector<NodeId> row_nodes_;
  std::vector<NodeId> col_nodes_;
  std::vector<std::string> dual_vars_;
  std::vector<std::string> primal_vars_;
  Ordering ordering_ = Ordering::NodesThenVars;
  CooMatrix coo_;
  bool symmetric_ = false;
  std::optional<ComputedRecipe> recipe_;
  std::vector<Physics> physics_;
  double factor_ = 1.0;
  std::unordered_map<NodeId, std::uint64_t> row_index_;
  std::unordered_map<NodeId, std::uint64_t> col_index_;
};

}  // namespace quenlith::containers::matrix

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::matrix::SubMatrix> {
  using Block = containers::matrix::SubMatrix;
  static constexpr std::string_view type_path = store::type_path::sub_matrix;
  static constexpr bool writable = true;
  static void encode(const Block& b, store::RecordWriter& w) { b.encode(w); }
  static Block decode(store::RecordReader& r) { return Block::decode(r); }
  static void debug_text(const Block& b, bool /*alternate*/, std::string& out) { out += b.debug_text(); }
};
