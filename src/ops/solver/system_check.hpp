#pragma once
// The checks every solver makes on what it is given and on what its factorisation
// found, and the texts that name the degrees of freedom at fault.
//
// A sparse direct factorisation handed a NaN or an infinity may crash inside the
// library (its symmetric analysis reads the values), and one handed a singular
// matrix returns factors that solve some other system: the values are refused
// before any factorisation, and the null pivots the factorisation reports are
// refused after it, each time naming the unknowns concerned.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "containers/field/dof.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/mesh/coords.hpp"
#include "ops/solver/sparse_direct.hpp"

namespace quenlith::ops::solver {

// How a solver speaks of one square system in its errors. `rows` names row i by its
// degree of freedom (the right-hand side's pair), `cols` names unknown i; both are
// lent for the call that uses them.
struct SystemNames {
  // Opens the non-finite messages: "solve" gives "solve: the matrix holds …".
  std::string_view operation;
  // Opens the null-pivot message: "solve: LU failed (matrix is singular)" gives
  // "solve: LU failed (matrix is singular): no pivot for …".
  std::string_view singular;
  const containers::field::DofList& rows;
  const containers::field::DofList& cols;
};

// "(NodeId(7), 'u_x')": a degree of freedom as every solver message prints it.
std::string dof_text(containers::mesh::NodeId node, std::string_view variable);
// Entry i of a list in that form; "#i" when the list does not reach i (a system
// made without names).
std::string dof_text(const containers::field::DofList& dofs, std::uint64_t i);

// Throws "{operation}: the matrix holds a non-finite value at row {}, column {}" for
// the first NaN or infinity of `a` in row order (then column order). One parallel
// pass over the values.
void refuse_non_finite_matrix(const containers::matrix::Csr& a, const SystemNames& names);

// Throws "{operation}: the right-hand side holds a non-finite value at {}" for the
// first NaN or infinity of b, b[i] named by dofs entry i.
void refuse_non_finite_rhs(std::span<const double> b, const containers::field::DofList& dofs,
                           std::string_view operation);

// Throws "{singular}: no pivot for A, B, C and K more" (at most three unknowns named,
// in ascending order) when the factorisation met null pivots.
void refuse_null_pivots(const SparseFactors& lu, const SystemNames& names);

}  // namespace quenlith::ops::solver
