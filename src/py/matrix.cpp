// The Python class Matrix: a container of SubMatrix blocks with, once finalized,
// its degree-of-freedom tables and compressed rows; and the module function lump.
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "containers/matrix/lump.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "containers/node_field/node_field.hpp"
#include "dump/number_format.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"
#include "py/matrix.hpp"

namespace quenlith::py {

using containers::matrix::Dof;
using containers::matrix::Matrix;
using containers::matrix::Ordering;
using containers::mesh::NodeId;

namespace {

const Signature matrix_new_sig{
    "__new__", "Matrix", Receiver::Constructor, {},
    "A global finite-element matrix, assembled from rectangular blocks\n"
    "(`SubMatrix`).\n"
    "\n"
    "Build blocks with `Matrix.block(...)`, compose them with `|`, then call\n"
    "`finalize()` before solving. Index it (`matrix[i]`) to reach a block."};
constexpr Param block_params[] = {{"row_support"}, {"col_support"}, {"dual_vars"}, {"primal_vars"},
                                  {"ordering", "\"nodes_then_vars\""}, {"symmetric", "False"}};
const Signature block_sig{
    "block", "Matrix", Receiver::Cls, block_params,
    "`Matrix.block(row_support, col_support, dual_vars, primal_vars, ordering=\"nodes_then_vars\", symmetric=False)`\n"
    "— a single-block `Matrix` (unit aggregate). `row_support` /\n"
    "`col_support` may each be a `SubMesh` view or a **unitary** `Mesh`.\n"
    "`ordering` is `\"nodes_then_vars\"` (default) or `\"vars_then_nodes\"`.\n"
    "Fill entries via the block view (`block[0].add_entry(...)`) and\n"
    "compose several blocks with `|`, then `finalize()`."};
const Signature finalize_sig{"finalize", "Matrix", Receiver::Self, {},
                             "Build the global DOF table and CSR. Must be called before any\n"
                             "solver-facing method (`dense`, `mul_dense`, …)."};
constexpr Param physics_params[] = {{"physics"}};
const Signature filter_sig{
    "filter", "Matrix", Receiver::Self, physics_params,
    "`Matrix.filter(physics)` — a new `Matrix` holding only the blocks **whose\n"
    "nature set contains** the given physics (`\"mechanical\"`, `\"thermal\"`,\n"
    "`\"constraint\"`, `\"other\"`). The result is **not** finalized — call\n"
    "`assemble` (or `finalize` for literal-only blocks) before solving."};
constexpr Param position_params[] = {{"row_node"}, {"row_field"}, {"col_node"}, {"col_field"}};
constexpr Param x_params[] = {{"x"}};
const Signature get_sig{"get", "Matrix", Receiver::Self, position_params,
                        "Value at row `(row_node, row_field)`, column `(col_node, col_field)`."};
const Signature dense_sig{"dense", "Matrix", Receiver::Self, {},
                          "Dense row-major buffer of the finalized matrix (`n_rows × n_cols`)."};
const Signature mul_dense_sig{"mul_dense", "Matrix", Receiver::Self, x_params, "`y = A · x` against a dense vector `x`."};
const Signature entries_sig{"entries", "Matrix", Receiver::Self, {},
                            "List of `(row_node, row_field, col_node, col_field, value)`\n"
                            "tuples — the stored entries of the literal blocks, block by block in\n"
                            "insertion order. A computed block (made by `stiffness`, `mass`,\n"
                            "`geometric` or `tangent`) stores no entries: its values exist only in\n"
                            "the assembled rows, read with `get`, `dense` or `mul_dense`."};
const Signature entry_count_sig{"entry_count", "Matrix", Receiver::Self, {},
                                "Total number of stored entries across all blocks (literal blocks\n"
                                "only: a computed block stores none)."};
const Signature row_dofs_sig{"row_dofs", "Matrix", Receiver::Self, {},
                             "`(node_id, field_name)` of each global row, in order."};
const Signature col_dofs_sig{"col_dofs", "Matrix", Receiver::Self, {},
                             "`(node_id, field_name)` of each global column, in order."};
const Signature field_names_sig{"field_names", "Matrix", Receiver::Self, {},
                                "Variable (field) names across the whole matrix."};
const Signature physics_sig{
    "physics", "Matrix", Receiver::Self, {},
    "`Matrix.physics()` — the list of physics natures present across the\n"
    "matrix's blocks (first-seen, deduplicated). Empty if no block is tagged;\n"
    "several tags when the matrix aggregates several physics (e.g. a heat model\n"
    "with a Dirichlet → `[\"thermal\", \"constraint\"]`)."};
const Signature n_rows_sig{"n_rows", "Matrix", Receiver::Self, {},
                           "Total number of rows of the (finalized) global matrix."};
const Signature n_cols_sig{"n_cols", "Matrix", Receiver::Self, {},
                           "Total number of columns of the (finalized) global matrix."};
const Signature symmetric_sig{"symmetric", "Matrix", Receiver::Self, {}, "Whether the matrix is declared symmetric."};
constexpr Param lump_params[] = {{"matrix"}};
const Signature lump_sig{"lump", nullptr, Receiver::None, lump_params,
                         "The row-sum lumped (diagonal) matrix of a finalized square matrix: each\n"
                         "diagonal entry is the sum of its row. A finalized `Matrix` without blocks."};

Matrix make_matrix() { return Matrix(); }

// The supports are resolved after the ordering is checked, in the core's order.
PyObject* as_given(PyObject* obj) { return obj; }

Matrix block(PyObject* row_support, PyObject* col_support, std::vector<std::string> dual_vars,
             std::vector<std::string> primal_vars, const std::optional<std::string>& ordering,
             const std::optional<bool>& symmetric) {
  const std::string text = ordering.value_or("nodes_then_vars");
  const std::optional<Ordering> parsed = containers::matrix::parse_ordering(text);
  if (!parsed)
    raise_value_error(fmt::format("unknown ordering '{}'; expected 'nodes_then_vars' or 'vars_then_nodes'", text));
  auto row = Container<MeshClass>::extract_or_unit(row_support);
  auto col = Container<MeshClass>::extract_or_unit(col_support);
  try {
    return Matrix::block(std::move(row), std::move(col), std::move(dual_vars), std::move(primal_vars), *parsed,
                         symmetric.value_or(false));
  } catch (const Error& e) {
    raise_value_error(e.text());
  }
}

// finalize edits the matrix in place: it holds its receiver exclusively.
Ref finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  match(finalize_sig, args, nargsf, kwnames);
  Object<Matrix>* o = object_cast<Matrix>(self);
  ExclusiveHold hold(o);
  o->payload.finalize();
  return Ref::borrow(Py_None);
}

Matrix filter(const Matrix& m, const std::string& physics) {
  const auto tag = containers::matrix::parse_physics(physics);
  if (!tag)
    raise_value_error(
        fmt::format("filter: unknown physics '{}' (expected mechanical|thermal|constraint|other)", physics));
  return m.filter(*tag);
}

double get(const Matrix& m, const Borrowed<NodeClass>& row_node, const std::string& row_field,
           const Borrowed<NodeClass>& col_node, const std::string& col_field) {
  return m.get(row_node->id(), row_field, col_node->id(), col_field);
}

std::vector<double> dense(const Matrix& m) { return m.to_dense(); }
std::vector<double> mul_dense(const Matrix& m, const std::vector<double>& x) { return m.mul_dense(x); }


std::vector<EntryTuple> entries(const Matrix& m) { return entry_tuples(m.entries()); }
std::vector<DofTuple> row_dofs(const Matrix& m) { return dof_tuples(m.row_dofs()); }
std::vector<DofTuple> col_dofs(const Matrix& m) { return dof_tuples(m.col_dofs()); }
std::vector<std::string> physics(const Matrix& m) { return containers::matrix::physics_tag_names(m.physics()); }
bool symmetric(const Matrix& m) { return m.symmetric(); }

// `matrix * field` and `matrix * number`: anything else that does not convert to a
// number raises the conversion's TypeError; a number on the left is declined.
PyObject* multiply(PyObject* a, PyObject* b) noexcept {
  return guarded([&]() -> Ref {
    if (!is_instance<MatrixClass>(a)) return Ref::borrow(Py_NotImplemented);
    if (is_instance<NodeFieldClass>(b)) {
      const Borrowed<NodeFieldClass> field(b);
      const Borrowed<MatrixClass> m(a);
      return to_python(m->mul_field(*field));
    }
    const double s = to_f64(b);
    const Borrowed<MatrixClass> m(a);
    return to_python(m->mul_scalar(s));
  });
}

// `matrix / number`: anything that does not convert is declined.
PyObject* divide(PyObject* a, PyObject* b) noexcept {
  return guarded([&]() -> Ref {
    if (!is_instance<MatrixClass>(a)) return Ref::borrow(Py_NotImplemented);
    const double s = PyFloat_AsDouble(b);
    if (s == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw ErrorAlreadySet{};
      PyErr_Clear();
      return Ref::borrow(Py_NotImplemented);
    }
    const Borrowed<MatrixClass> m(a);
    return to_python(m->div_scalar(s));
  });
}

Matrix lump(const Borrowed<MatrixClass>& m) { return containers::matrix::lump(*m); }

TypeDef matrix_type_def() {
  static const PyMethodDef methods[] = {
      function<block_sig, block, as_given, as_given, to_str_list, to_str_list, opt<to_str>, opt<to_bool>>(
          METH_CLASS),
      method_def<finalize>("finalize", finalize_sig.doc()),
      method<MatrixClass, filter_sig, filter, to_str>(),
      method<MatrixClass, get_sig, get, borrow<NodeClass>, to_str, borrow<NodeClass>, to_str>(),
      method<MatrixClass, dense_sig, dense>(),
      method<MatrixClass, mul_dense_sig, mul_dense, to_f64_list>(),
      method<MatrixClass, entries_sig, entries>(),
      method<MatrixClass, entry_count_sig, &Matrix::entry_count>(),
      method<MatrixClass, row_dofs_sig, row_dofs>(),
      method<MatrixClass, col_dofs_sig, col_dofs>(),
      method<MatrixClass, field_names_sig, &Matrix::field_names>(),
      method<MatrixClass, physics_sig, physics>(),
      method<MatrixClass, n_rows_sig, &Matrix::n_rows>(),
      method<MatrixClass, n_cols_sig, &Matrix::n_cols>(),
  };
  static PyGetSetDef getset[] = {getter<MatrixClass, symmetric_sig, symmetric>(), kGetSetEnd};
  return Container<MatrixClass>::def("_quenlith.Matrix", matrix_new_sig, methods,
                                     {{constructor<MatrixClass, matrix_new_sig, make_matrix>()},
                                      {{Py_tp_getset, getset},
                                       {Py_nb_multiply, reinterpret_cast<void*>(&multiply)},
                                       {Py_nb_true_divide, reinterpret_cast<void*>(&divide)}}});
}

}  // namespace

TypeCache MatrixClass::type{&matrix_type_def};

std::string MatrixClass::dump_text(const Payload& matrix, const dump::DumpOptions& options) {
  dump::check_dump_precision(options.precision);
  return matrix.dump_text(options);
}

PyMethodDef lump_def = function<lump_sig, lump, borrow<MatrixClass>>();

std::vector<DofTuple> dof_tuples(std::vector<Dof> dofs) {
  std::vector<DofTuple> out;
  out.reserve(dofs.size());
  for (Dof& d : dofs) out.emplace_back(d.node, std::move(d.var));
  return out;
}

std::vector<EntryTuple> entry_tuples(std::vector<containers::matrix::SubMatrix::Entry> entries) {
  std::vector<EntryTuple> out;
  out.reserve(entries.size());
  for (auto& e : entries) out.emplace_back(e.row_node, std::move(e.row_var), e.col_node, std::move(e.col_var), e.value);
  return out;
}

}  // namespace quenlith::py
