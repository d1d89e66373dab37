#pragma once
// The one road from per-cell element vectors to a nodal vector: internal forces,
// fluxes and divergences all add their cells' vectors here, colour by colour.
#include <span>
#include <string>
#include <vector>

#include "containers/node_field/sub_node_field.hpp"
#include "models/kernel/block.hpp"

namespace quenlith::models::kernel {

// Evaluates `routine` on every cell of `fespaces` (one context per subspace; all on
// one submesh) into a zeroed element vector of npc * |duals| values (node-major:
// entry a*n_dual + k is local node a, name k), adds it at the cell's nodes, and
// returns the sum as a new unstored SubNodeField on `support` with the components
// `duals`, in the support's node order. A node listed twice in the support gets the
// sum at its first row and zeros at the later ones.
// Errors: "scatter_to_nodes: no FE subspace", "scatter_to_nodes: all FE subspaces must
// share one submesh", guard errors, the routine's, "scatter_to_nodes: support does not
// cover a cell node", then those of SubNodeField::create (a support that is not POI1
// among them). Bit-identical sums for any number of threads.
containers::node_field::SubNodeField scatter_to_nodes(std::span<const SpaceHandle> fespaces,
                                                      const SupportHandle& support, std::vector<std::string> duals,
                                                      CellRoutine routine);

// The density of a flux: one uniform value, or one value per (cell, Gauss point) of
// the subspace, cell-major (taken by the caller from a one-component zone).
struct FluxDensity {
  double uniform = 0.0;
  std::span<const double> per_point;  // empty: the uniform value
};

// The flux element vector of one cell, one entry per node: out[a] += N_a(g) (rho w_g)
// at every Gauss point g of the first context, w_g its integration weight (the
// integral of rho N_a over the cell).
void flux_element_vector(std::span<const CellContext> ctxs, const FluxDensity& density, std::span<double> out);

}  // namespace quenlith::models::kernel
