#pragma once
// Master/slave elimination: a constrained system solved without multipliers. Each
// linear relation Σ c_k·u_k = g picks one slave DOF and expresses it through the
// others (its masters): every u that satisfies the relations is u = T·u_r + u0,
// and the reduced system Tᵀ·K·T·u_r = Tᵀ·(f − K·u0) over the free DOFs is
// factorised instead of the saddle-point matrix. Only the physics block K of the
// assembled matrix (rows and columns at nodes that are no multiplier node) is read.
//
// No chaining: a slave is never a master of a later relation, nor chosen twice.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "containers/field/dof.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/matrix.hpp"
#include "models/model/model.hpp"
#include "containers/node_field/node_field.hpp"
#include "ops/solver/sparse_direct.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::solver {

// One eliminated relation: its slave, and where its reaction and its imposed value go.
struct Elimination {
  std::string slave_dual;      // the slave term's target dual: the reaction's name
  std::string imposed_value;   // the component of the right-hand side holding g
  std::uint64_t slave_index;   // physics index of the slave
  double slave_coefficient;
  containers::mesh::NodeId slave_node;
  containers::mesh::NodeId multiplier_node;
};

// What solve_eliminate keeps in a matrix's solver cache. Immutable; shared by the
// cache slot and every call using it. The imposed values are not part of it: they
// are read from the right-hand side on every call.
class Condensation final : public containers::matrix::SolverPayload {
 public:
  containers::matrix::Csr t;            // T, n × n_r
  containers::matrix::Csr t_transpose;  // Tᵀ
  containers::matrix::Csr k;            // the physics block, n × n
  std::shared_ptr<const SparseFactors> lu;  // of Tᵀ·K·T
  containers::field::DofList row_dofs;  // physics rows (where f is read)
  containers::field::DofList col_dofs;  // physics columns (where u is reported)
  std::vector<Elimination> slaves;      // one per relation, in relation order
  containers::field::DofList imposed_dofs;  // (multiplier node, imposed value) per slave
};

// One term of a relation as the pivot choice sees it.
struct PivotTerm {
  std::uint64_t index;  // physics index
  double coefficient;
};

// The position of the slave term: among the terms whose index is neither a slave
// (`slaves`) nor a master (`masters`) of an earlier relation, the one of largest
// |coefficient|, magnitudes compared as their bit patterns (a NaN ranks above +∞),
// the later term winning a tie. Nothing when no term is eligible.
std::optional<std::size_t> pick_pivot(std::span<const PivotTerm> terms,
                                      const std::unordered_set<std::uint64_t>& slaves,
                                      const std::unordered_set<std::uint64_t>& masters);

// Collects the relations of every constraint sub-model, picks the slaves, builds T,
// K and factorises Tᵀ·K·T. Errors, in order: a sub-model that cannot be read or
// whose relations fail; "elimination: relation at multiplier node {} is unilateral
// ('{}') — solve it with solve_unilateral"; a DOF table of an unfinalized matrix;
// "elimination: physics block is not square ({} dual rows vs {} primal cols)";
// "elimination: physics row/column DOFs are not conjugate-aligned; this physics is
// unsupported by the elimination solver"; "Matrix has not been finalized; call
// finalize() before solving"; "elimination: the matrix holds a non-finite value at
// row {}, column {}" (the first in the physics block); per relation "elimination:
// term ({}, '{}') is not a physics DOF of the matrix", "elimination: relation at
// multiplier node {} has a non-finite coefficient at {}", "elimination: relation at
// multiplier node {} has no
// eliminable DOF — all its terms are already constrained (chaining is out of scope,
// v1)", "elimination: relation at multiplier node {} has no term with a nonzero
// coefficient", "elimination: relation at multiplier node {} names its slave DOF
// ({}, '{}') more than once — merge those terms into one", "elimination: master DOF
// ({}, '{}') is a slave of another relation — chaining is out of scope (v1)"; then
// those of lu_factorize ("solve: matrix is empty" when every physics DOF is a slave;
// "solve: reduced LU failed (matrix is singular): no pivot for {}…" naming the free
// DOFs without pivot). DOFs print as (NodeId(n), 'variable').
std::shared_ptr<const Condensation> build_condensation(std::span<const store::Handle<containers::model::SubModel>> subs,
                                                       const containers::matrix::Matrix& matrix,
                                                       const store::InterruptCheck& interrupt);

// Solves the constrained system by elimination. A model without constraint
// sub-model takes the plain solve. The result: one zone on a new POI1 support with
// the primal values at every physics column, then, at each slave's node under its
// dual variable, the reaction f_s − (K·u)_s. With `cache`, the condensation in the
// matrix's slot is reused (whatever model is passed), or a new one stored before
// the right-hand side is read. "elimination: the right-hand side holds a non-finite
// value at {}" for the first NaN or infinity read from `rhs` (imposed values first,
// then loads); "solve: reduced LU failed (matrix is singular)" for a non-finite
// reduced solution; an rhs without zone fails after the solve with "index 0 out of
// bounds (len=0)".
containers::node_field::NodeField solve_eliminate(const containers::model::Model& model,
                                                  const containers::matrix::Matrix& matrix,
                                                  const containers::node_field::NodeField& rhs, bool cache,
                                                  const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::solver
