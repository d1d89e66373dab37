#pragma once
// Matrix: a global operator, an ordered list of SubMatrix blocks and, once
// finalized, its degree-of-freedom tables and compressed rows (not a stored object:
// it lives in its Python object).
//
// Fields:
//   the list    handles to the blocks, in order (containers/sub_list.hpp); one handle
//               may occur twice (push_sub, the add_sub path)
//   finalized_  absent, or the snapshot made by finalize / the assembly / lump:
//               row and column tables (each Dof once; position = global index), the
//               compressed rows of the sum of every block entry times its block's
//               factor, and the row and column support groups (below)
//   cache_      the solver cache: one payload at most, under its own lock
//
// A support group is one distinct support of one side, in order of first appearance
// over the blocks, with its node list and the variables the blocks on it carry. The
// solvers and the node-field products turn vectors over a table back into one field
// zone per group; a finalized matrix keeps its groups so that a matrix holding only a
// finalized form (lump's result, its scaled copies) still knows them, and can turn
// that form back into literal blocks when it joins a union or takes a block.
//
// The finalized state is a snapshot: editing a block afterwards changes nothing here
// until the matrix is finalized again from scratch (assembly) or given a new block.
//
// Blocks are read under shared guards; operations report store errors unchanged.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "containers/matrix/csr.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/node_field/node_field.hpp"
#include "containers/sub_list.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::matrix {

enum class Side : std::uint8_t { Rows, Cols };

struct SupportGroup {
  store::Handle<mesh::SubMesh> support;
  std::vector<NodeId> nodes;
  std::vector<std::string> vars;
};

struct Finalized {
  std::vector<Dof> row_dofs;
  std::vector<Dof> col_dofs;
  Csr csr;
  std::vector<SupportGroup> row_groups;
  std::vector<SupportGroup> col_groups;
};

// What a solver keeps between solves of one matrix (factors, a condensation...).
class SolverPayload {
 public:
  virtual ~SolverPayload() = default;
};

// One slot, one lock held only to read or replace the payload.
class SolverCache {
 public:
  SolverCache() = default;
  SolverCache(SolverCache&& other) noexcept : payload_(other.take()) {}
  SolverCache& operator=(SolverCache&& other) noexcept {
    set(other.take());
    return *this;
  }
  void set(std::shared_ptr<const SolverPayload> payload);
  void clear() { set(nullptr); }
  std::shared_ptr<const SolverPayload> get() const;
  // The payload when it is a T, else null.
  template <class T>
  std::shared_ptr<const T> get_as() const {
    return std::dynamic_pointer_cast<const T>(get());
  }

 private:
  std::shared_ptr<const SolverPayload> take() noexcept;
  mutable std::mutex mutex_;
  std::shared_ptr<const SolverPayload> payload_;
};

class Matrix : public SubList<Matrix, SubMatrix> {
 public:
  using Block = store::Handle<SubMatrix>;
  static constexpr std::string_view kName = "Matrix";
  static constexpr std::string_view kItems = "sub-matrix(es)";

  Matrix() = default;
  Matrix(Matrix&& other) noexcept;
  Matrix& operator=(Matrix&& other) noexcept;
  Matrix(const Matrix&) = delete;
  Matrix& operator=(const Matrix&) = delete;
  ~Matrix();

  // A one-block unfinalized matrix over a new empty literal block.
  static Matrix block(SubMatrix::Support row_support, SubMatrix::Support col_support,
                      std::vector<std::string> dual_vars, std::vector<std::string> primal_vars, Ordering ordering,
                      bool symmetric);
  // A matrix without blocks holding `finalized` (lump's result).
  static Matrix from_finalized(Finalized finalized);

  const std::optional<Finalized>& finalized() const noexcept { return finalized_; }
  bool is_finalized() const noexcept { return finalized_.has_value(); }
  SolverCache& solver_cache() const noexcept { return cache_; }

  // Appends (no repeat check), drops the finalized state and empties the cache. A
  // matrix that holds only a finalized form first turns it into literal blocks, so
  // its values are kept.
  void push_sub(Block sub);
  // a's blocks then b's, a handle already present not repeated; unfinalized.
  static Matrix union_(const Matrix& a, const Matrix& b);
  Matrix union_sub(const Block& sub) const;
  // `sub | sub`: [a] or [a, b], finalized.
  static Matrix union_(const Block& a, const Block& b);
  // Blocks at these positions, repeats kept; "index {} out of bounds (len={})".
  // Refused for a matrix holding only a finalized form.
  Matrix slice(std::span<const std::uint64_t> indices) const;
  Matrix filter(Physics tag) const;

  // Literal blocks to compressed rows; nothing when already finalized.
  void finalize();
  // Replaces the finalized state by these tables and compressed rows (the support
  // groups taken from the blocks) and empties the solver cache: the assembly's result.
  void install(std::vector<Dof> row_dofs, std::vector<Dof> col_dofs, Csr csr);
  std::vector<Dof> build_dof_table(Side side) const;
  // The finalized table of one side, or the one built from the blocks.
  std::vector<Dof> dof_table(Side side) const;
  // Finalized: the stored value or 0.0; else the sum over blocks of SubMatrix::get.
  double get(NodeId row_node, std::string_view row_var, NodeId col_node, std::string_view col_var) const;
  std::vector<double> to_dense() const;
  std::vector<double> mul_dense(std::span<const double> x) const;
  std::uint64_t n_rows() const;
  std::uint64_t n_cols() const;
  std::vector<Dof> row_dofs() const;
  std::vector<Dof> col_dofs() const;
  std::vector<SubMatrix::Entry> entries() const;
  std::uint64_t entry_count() const;
  std::vector<std::string> field_names() const;
  std::vector<Physics> physics() const;
  bool symmetric() const;
  // A vector over the row (or column) table as a node field: one zone per support
  // group of that side, in order, with the group's variables as components; a pair
  // of a group that is not in the table keeps 0.0. Errors: not finalized;
  // "field_from_{row|col}_values: {} value(s) for {} DOF(s)"; the errors of making a
  // zone (a support that is not POI1, a group without variables) or of joining it
  // (zones on different Coords).
  node_field::NodeField field_from_values(std::span<const double> values, Side side) const;
  // y = A x with x read from `field` at every column degree of freedom (0.0 where no
  // zone defines it), as a field over the row supports; not finalized fails.
  node_field::NodeField mul_field(const node_field::NodeField& field) const;
  // The support groups of one side: the stored ones when finalized, else from the blocks.
  std::vector<SupportGroup> support_groups(Side side) const;

  // Copies of every block with its factor times / divided by s (new stored blocks),
  // unfinalized; a matrix holding only a finalized form gives a finalized copy with
  // its values scaled.
  Matrix mul_scalar(double s) const;
  Matrix div_scalar(double s) const;

  struct Triplet {
    std::uint64_t row;
    std::uint64_t col;
    double value;
  };
  // Every entry of every block as (global row, global column, value times factor),
  // blocks in order, entries in insertion order, against the given tables.
  std::vector<Triplet> gather_triplets(std::span<const Dof> row_table, std::span<const Dof> col_table) const;

  // "Matrix: {} sub-matrix(es), {} row(s) × {} col(s){, symmetric}"; never fails.
  std::string display_text() const;
  // The display text and the global dense table; "{}\n<{}>" when the tables cannot
  // be built.
  std::string dump_text(const dump::DumpOptions& options) const;

 private:
  // The blocks this matrix contributes to a union or a new block list: its own, or
  // those made once from its finalized form when it holds no block.
  std::vector<Block> contributing_blocks() const;
  // Refuses to drop the values of a matrix holding only a finalized form.
  void check_not_form_only(std::string_view operation) const;
  void reset_state();

  std::optional<Finalized> finalized_;
  mutable SolverCache cache_;
  // Filled once by contributing_blocks for a matrix holding only a finalized form.
  mutable std::atomic<std::vector<Block>*> form_blocks_{nullptr};
};

}  // namespace quenlith::containers::matrix
