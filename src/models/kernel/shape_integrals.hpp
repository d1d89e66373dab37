#pragma once
// Integrals over one cell of products of shape functions and of their gradients:
// the building blocks of the scalar-field kernels (conduction, capacity, film) and of
// the continuum mass, the nodal flux loads, the divergence and the heat-flow vector.
//
// Each helper walks the Gauss points of the first context's cell in order and adds
// into a caller's zero-filled buffer; the values it needs at a point come from a
// callback, called once per point, after the point's geometry (so a geometric
// failure comes first) and never for a cell without Gauss points. npc is the nodes
// per cell, d the space dimension (at most 3: the gradients go through a stack
// buffer of kMaxCellCoords values). Errors of the context and of the callbacks are
// thrown unchanged; what was added before stays in the buffer (the caller discards it).
#include <cstdint>
#include <memory>
#include <span>

#include "containers/element_field/sub_element_field.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/prepared_kernel.hpp"
#include "parallel/function_ref.hpp"

namespace quenlith::models::kernel {

// The coefficient of a point (conductivity, density, film coefficient...).
using PointValue = parallel::FunctionRef<double(std::uint64_t g)>;
// The d components of a vector at a point, written into `out`.
using PointVector = parallel::FunctionRef<void(std::uint64_t g, std::span<double> out)>;

// Consistent-mass pattern: out[(a*n_comp + c)*n + b*n_comp + c] += N_a N_b (w_g c_g)
// for every component c < n_comp, n = npc * n_comp, c_g = coefficient(g).
void add_shape_products(const CellContext& ctx, std::uint64_t n_comp, PointValue coefficient, std::span<double> out);

// Diffusion pattern: out[a*npc + b] += (sum_j dN_a/dx_j dN_b/dx_j) k_g w_g, k_g =
// coefficient(g), the sum taken in axis order.
void add_gradient_products(const CellContext& ctx, PointValue coefficient, std::span<double> out);

// add_gradient_products on every cell of a subspace (its CellGeometry), the
// coefficient at (cell, g) being component `component` of `zone` read by position:
// the same bits, cell by cell. Nothing (the caller keeps the general kernel) for
// cells that are not volume cells of the catalogue and for a zone that does not cover
// the subspace's cells and Gauss points. Both arguments are lent for the result's life.
std::unique_ptr<PreparedKernel> prepare_gradient_products(
    const containers::finite_element_space::CellGeometry& cells,
    const containers::element_field::SubElementField& zone, std::uint64_t component);

// Weak divergence: out[a] += (sum_i dN_a/dx_i v_i) w_g, v = vector(g) (d values).
void add_gradient_dot(const CellContext& ctx, PointVector vector, std::span<double> out);

// Weighted shape functions: out[a] += N_a (v_g w_g), v_g = value(g).
void add_weighted_shape(const CellContext& ctx, PointValue value, std::span<double> out);

}  // namespace quenlith::models::kernel
