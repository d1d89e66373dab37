// The Python class SubMatrix: one handle on a stored matrix block, reached by
// indexing a Matrix; never constructed from Python.
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "containers/matrix/matrix.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/node.hpp"
#include "dump/number_format.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "py/matrix.hpp"

namespace quenlith::py {

using containers::matrix::Dof;
using containers::matrix::SubMatrix;
using containers::mesh::NodeId;

namespace {

const Signature sub_matrix_doc_sig{
    "SubMatrix", nullptr, Receiver::None, {},
    "One block (a COO sub-matrix) of a global `Matrix`, viewed by indexing\n"
    "(`matrix[i]`) — never constructed directly. Build a block at the parent\n"
    "level with `Matrix.block(...)` (a unit `Matrix`), composed with `|`."};

constexpr Param position_params[] = {{"row_node"}, {"row_field"}, {"col_node"}, {"col_field"}};
constexpr Param entry_params[] = {{"row_node"}, {"row_field"}, {"col_node"}, {"col_field"}, {"value"}};
constexpr Param x_params[] = {{"x"}};
const Signature get_sig{"get", "SubMatrix", Receiver::Self, position_params,
                        "Value at row `(row_node, row_field)`, column `(col_node, col_field)`."};
const Signature add_entry_sig{"add_entry", "SubMatrix", Receiver::Self, entry_params,
                              "Accumulate `value` at row `(row_node, row_field)`, column\n"
                              "`(col_node, col_field)` (COO entry)."};
const Signature entries_sig{"entries", "SubMatrix", Receiver::Self, {},
                            "List of `(row_node, row_field, col_node, col_field, value)`\n"
                            "tuples, in insertion order."};
const Signature entry_count_sig{"entry_count", "SubMatrix", Receiver::Self, {}, "Number of stored COO entries."};
const Signature dense_sig{"dense", "SubMatrix", Receiver::Self, {}, "Dense row-major buffer, length `n_rows × n_cols`."};
const Signature mul_dense_sig{"mul_dense", "SubMatrix", Receiver::Self, x_params, "`y = A · x` (dense)."};
const Signature n_rows_sig{"n_rows", "SubMatrix", Receiver::Self, {}, "Number of rows of this block."};
const Signature n_cols_sig{"n_cols", "SubMatrix", Receiver::Self, {}, "Number of columns of this block."};
const Signature row_dofs_sig{"row_dofs", "SubMatrix", Receiver::Self, {},
                             "`(node_id, field_name)` tuples for each row, in order."};
const Signature col_dofs_sig{"col_dofs", "SubMatrix", Receiver::Self, {},
                             "`(node_id, field_name)` tuples for each column, in order."};
const Signature field_names_sig{"field_names", "SubMatrix", Receiver::Self, {},
                                "Variable (field) names this block addresses."};
const Signature physics_sig{
    "physics", "SubMatrix", Receiver::Self, {},
    "The physics nature(s) of the sub-model that produced this block, as a list\n"
    "of tags (`\"mechanical\"`, `\"thermal\"`, `\"constraint\"`, `\"other\"`). **Empty**\n"
    "for a block built outside assembly (the \"rien\" case), or several tags for a\n"
    "coupled physics. Set by the assembler; used by `Matrix.filter`."};
const Signature symmetric_sig{"symmetric", "SubMatrix", Receiver::Self, {}, "Whether this block is declared symmetric."};
const Signature factor_sig{"factor", "SubMatrix", Receiver::Self, {},
                           "The scalar factor applied to every value this block emits (`1.0` unless\n"
                           "the parent `Matrix` was built via `matrix * scalar` / `matrix / scalar`)."};

double get(const SubMatrix& b, const Borrowed<NodeClass>& row_node, const std::string& row_field,
           const Borrowed<NodeClass>& col_node, const std::string& col_field) {
  return b.get(row_node->id(), row_field, col_node->id(), col_field);
}

void add_entry(SubMatrix& b, const Borrowed<NodeClass>& row_node, const std::string& row_field,
               const Borrowed<NodeClass>& col_node, const std::string& col_field, double value) {
  b.add_entry(row_node->id(), row_field, col_node->id(), col_field, value);
}


std::vector<EntryTuple> entries(const SubMatrix& b) { return entry_tuples(b.entries()); }
std::uint64_t entry_count(const SubMatrix& b) { return b.entry_count(); }
std::vector<double> dense(const SubMatrix& b) { return b.to_dense(); }
std::vector<double> mul_dense(const SubMatrix& b, const std::vector<double>& x) { return b.mul_dense(x); }
std::uint64_t n_rows(const SubMatrix& b) { return b.n_rows(); }
std::uint64_t n_cols(const SubMatrix& b) { return b.n_cols(); }
std::vector<std::string> physics(const SubMatrix& b) { return containers::matrix::physics_tag_names(b.physics()); }
bool symmetric(const SubMatrix& b) { return b.symmetric(); }
double factor(const SubMatrix& b) { return b.factor(); }
std::vector<std::string> field_names(const SubMatrix& b) { return b.field_names(); }

std::vector<DofTuple> row_dofs(const SubMatrix& b) { return dof_tuples(b.row_dofs()); }
std::vector<DofTuple> col_dofs(const SubMatrix& b) { return dof_tuples(b.col_dofs()); }

TypeDef sub_matrix_type_def() {
  using K = Class<SubMatrixClass>;
  static PyMethodDef methods[] = {
      method<SubMatrixClass, get_sig, get, borrow<NodeClass>, to_str, borrow<NodeClass>, to_str>(),
      method<SubMatrixClass, add_entry_sig, add_entry, borrow<NodeClass>, to_str, borrow<NodeClass>, to_str,
             to_f64>(),
      method<SubMatrixClass, entries_sig, entries>(),
      method<SubMatrixClass, entry_count_sig, entry_count>(),
      method<SubMatrixClass, dense_sig, dense>(),
      method<SubMatrixClass, mul_dense_sig, mul_dense, to_f64_list>(),
      method<SubMatrixClass, n_rows_sig, n_rows>(),
      method<SubMatrixClass, n_cols_sig, n_cols>(),
      method<SubMatrixClass, row_dofs_sig, row_dofs>(),
      method<SubMatrixClass, col_dofs_sig, col_dofs>(),
      method<SubMatrixClass, field_names_sig, field_names>(),
      method<SubMatrixClass, physics_sig, physics>(),
      K::dump(),
      kMethodsEnd,
  };
  static PyGetSetDef getset[] = {
      getter<SubMatrixClass, symmetric_sig, symmetric>(),
      getter<SubMatrixClass, factor_sig, factor>(),
      kGetSetEnd,
  };
  return K::def("_quenlith.SubMatrix", sub_matrix_doc_sig, methods, getset,
                {K::length<entry_count>(), {{Py_nb_or, reinterpret_cast<void*>(&Container<MatrixClass>::sub_or)}}});
}

}  // namespace

TypeCache SubMatrixClass::type{&sub_matrix_type_def};

std::string SubMatrixClass::dump_text(const Payload& block, const dump::DumpOptions& options) {
  // The table formats numbers: refuse a precision the formatter cannot honour
  // before the block is read.
  dump::check_dump_precision(options.precision);
  return read_value(block, [&](const SubMatrix& b) { return b.dump_text(options); });
}

}  // namespace quenlith::py
