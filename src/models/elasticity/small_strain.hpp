#pragma once
// Small-strain continuum kernels, shared by the elastic, plastic and damage kinds:
// the isotropic Hooke matrices, the strain-displacement matrix B, and the element
// stiffness (integral of B^T D B), consistent mass, geometric stiffness from the
// current stress, and tangent stiffness from a stored tangent.
//
// Element degrees of freedom are node-major: local index a*d + c for local node a and
// component c (x, y, z), d the space dimension, n = d * nodes per cell. Element
// matrices are n x n, row-major, added into a caller's zero-filled buffer.
// Strain vectors multiplied by B and D carry engineering shear (gamma = 2 eps);
// Voigt order (xx, yy, xy) in 2-D and (xx, yy, zz, yz, xz, xy) in 3-D.
//
// The kernels work on fixed-size matrices for each nodes-per-cell count of the
// catalogue in 2-D and 3-D: nothing is allocated per cell. Material values (E, nu,
// rho) are read once per cell at Gauss point 0 of the material zone; stresses and
// stored tangents at each Gauss point. Errors of the zones and of the cell context
// are thrown unchanged; what was added to the buffer before stays there (the caller
// discards it).
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "models/elasticity/continuum.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/prepared_kernel.hpp"
#include "models/mod/kind.hpp"

namespace quenlith::models::kernel {

using containers::element_field::SubElementField;
// The plane or solid hypothesis; stress_names and ktan_names live with the kinds.
using models::ContinuumModel;
using models::ktan_names;
using models::stress_names;

// D for (model, d): 3 x 3 for d == 2 with a plane hypothesis, 6 x 6 otherwise. E and
// nu are taken as given (nu = 0.5 gives non-finite entries, without an error).
std::vector<std::vector<double>> elasticity_d_matrix(ContinuumModel model, std::uint64_t d, double e, double nu);

// B at one Gauss point from dN/dx (node-major, index a*d + k): 3 rows of 2*npc in
// 2-D, 6 rows of 3*npc otherwise.
std::vector<std::vector<double>> strain_displacement_matrix(std::span<const double> grads, std::uint64_t npc,
                                                            std::uint64_t d);

// The element kernels, on one cell (the first context of the block).
// Stiffness: reads E then nu.
void elasticity_stiffness(const CellContext& ctx, const SubElementField& materials, ContinuumModel model,
                          std::span<double> out);
// elasticity_stiffness made ready for every volume cell of a subspace (the same
// bits, E and nu read by position): nothing when the zone lacks E or nu, does not
// cover the subspace's cells, or the hypothesis does not fit the dimension. The
// geometry and the zone are lent for the result's life.
std::unique_ptr<PreparedKernel> prepare_elasticity_stiffness(const containers::finite_element_space::CellGeometry& cells,
                                                             const SubElementField& materials, ContinuumModel model);
// Consistent mass, block-diagonal in the components; any failure to read rho is
// "Elasticity mass matrix: material component `rho` (density) is required".
void elasticity_mass(const CellContext& ctx, const SubElementField& materials, std::span<double> out);
// Geometric stiffness: sum over Gauss points of grad N_a . S . grad N_b on every
// component, S the stress tensor at the point.
void elasticity_geometric(const CellContext& ctx, const SubElementField& stresses, std::span<double> out);
// Integral of B^T D B with D read from "ktan_{i}_{j}" (upper triangle) at each point.
void consistent_tangent_kernel(const CellContext& ctx, const SubElementField& state, std::span<double> out);

// Elastic trial stress, six-component arrays xx, yy, zz, yz, xz, xy with tensor shear:
// sigma = sigma0 + lambda tr(d eps) I + 2 mu d eps.
std::array<double, 6> elastic_trial_stress(const std::array<double, 6>& eps, const std::array<double, 6>& eps0,
                                           const std::array<double, 6>& sigma0, double lambda, double mu);

// The linear elastic point law: sigma = D eps at (cell, g), D from E then nu read at
// (cell, Gauss point 0) of the material zone, eps from the deformation zone at
// (cell, g): eps_xx, eps_yy, eps_xy in 2-D, eps_xx, eps_yy, eps_zz, eps_yz, eps_xz,
// eps_xy in 3-D, tensor shears doubled into engineering ones. Writes one stress
// per row of D into `out` (3 in 2-D whatever the hypothesis, 6 in 3-D).
void elastic_point_stress(ContinuumModel model, std::uint64_t d, const SubElementField& materials,
                          const SubElementField& deformation, std::uint64_t cell, std::uint64_t g,
                          std::span<double> out);

// The stress tensor (d x d, row-major) at (cell, g) of a stress zone, read by name
// over the upper triangle: sigma_xx, sigma_xy, sigma_yy in 2-D (sigma_xx alone in
// 1-D, the six names in 3-D), the first missing name failing with "unknown
// component: {}". Fills d * d values of `out`.
void read_stress_vector(const SubElementField& stresses, std::uint64_t cell, std::uint64_t g, std::uint64_t d,
                        std::span<double> out);

// Internal nodal forces of a small-strain continuum, f = integral of B^T sigma,
// written in tensor form: out[a*d + i] += sum_j dN_a/dx_j sigma_ij w at every Gauss
// point, the stress read there. Uses the first context of `ctxs` (never empty).
void element_internal_forces_bt_sigma(std::span<const CellContext> ctxs, const SubElementField& stresses,
                                      std::span<double> out);

}  // namespace quenlith::models::kernel
