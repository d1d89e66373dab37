#pragma once
// SubFiniteElementSpace: one submesh with an interpolation and a quadrature rule,
// and the shape-function tables they give at the Gauss points (a stored object).
//
// Stored fields (also the order of the swap record):
//   submesh_        one counted handle on the submesh, sealed when the subspace was
//                   built, so its cell count never changes while the subspace lives
//   interpolation_  LAGRANGE1 or LAGRANGE2, fitting the submesh's element type
//   quadrature_     GAUSS or REDUCED
//   space_dim_      s, the dimension of the submesh's Coords when built
//   gauss_xi_       n_g x r reference coordinates, point-major
//   gauss_w_        n_g weights; n_g is its length
//   n_at_g_         n_g x npc shape-function values: [g*npc + i] = N_i(xi_g)
//   dn_at_g_        n_g x npc x r reference derivatives: [g*npc*r + i*r + k] = dN_i/dxi_k
// with r the reference dimension and npc the nodes per cell of the submesh's element
// type (always read from the submesh, never copied). Invariants: r <= s, and the table
// lengths above.
//
// Beside the fields, one once-initialised slot never written to a record: the cell
// colouring of the submesh, filled on the first call of `coloring` (see
// coloring.hpp, which computes it) and empty again in a subspace read
// back from its swap file.
//
// A subspace never changes once built (the store gives it no write guard); nothing
// geometric is cached: Jacobians and derivatives are computed on every call from the
// coordinates active at that moment, so moving nodes or switching the active
// configuration changes every later answer.
//
// Errors are Error values: Message with the texts below, guard errors
// (StaleHandle, Io, Serialization) unchanged.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "containers/finite_element_space/interpolation.hpp"
#include "containers/finite_element_space/quadrature.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/submesh.hpp"
#include "dump/dump_options.hpp"
#include "parallel/function_ref.hpp"
#include "store/handle.hpp"
#include "store/stored_type.hpp"

namespace quenlith::store {
template <class T>
class ReadGuard;
}

namespace quenlith::containers::finite_element_space {

// The cells of one subspace cut into runs of `run_length` consecutive cells (run q
// holds cells q * run_length up to the next run's first cell or n_cells), and the
// runs grouped by colour: no two runs of one colour share a node, so the runs of a
// colour may scatter into shared node arrays in parallel, each run's cells one after
// the other. colors[k] lists the runs of colour k in increasing order; every run is
// in exactly one colour. With run_length 1 a run is a cell.
struct CellColoring {
  std::uint64_t n_cells = 0;
  std::uint64_t run_length = 1;
  std::vector<std::vector<std::uint64_t>> colors;
  std::uint64_t n_colors() const noexcept { return colors.size(); }
  std::uint64_t run_begin(std::uint64_t run) const noexcept { return run * run_length; }
  std::uint64_t run_end(std::uint64_t run) const noexcept {
    return run_begin(run) + run_length < n_cells ? run_begin(run) + run_length : n_cells;
  }
};

// Per-Gauss-point tables of one subspace, copied out for a kernel driver (which owns
// them). n_rows[g]: npc values N_i; dn_rows[g]: npc x r values, row per node.
struct GaussTables {
  std::vector<std::vector<double>> n_rows;
  std::vector<std::vector<double>> dn_rows;
  std::vector<double> weights;
  std::uint64_t nodes_per_cell = 0;
  std::uint64_t n_gauss = 0;
  std::uint64_t space_dim = 0;
  std::uint64_t ref_dim = 0;
};

class SubFiniteElementSpace {
 public:
  // Builds the subspace of `submesh` (taken over; released on every path). Checks, in
  // this order, before anything is tabulated or sealed:
  //   "SubFiniteElementSpace: POI1 submesh is not supported (no reference frame)"
  //   "SubFiniteElementSpace: interpolation {} not compatible with element type {}"
  //   "SubFiniteElementSpace: space dim {} < reference dim {} of {} (cannot define a Jacobian)"
  // then tabulates and seals the submesh (SubMesh::seal). A refused subspace leaves the
  // submesh unsealed. The result is to be inserted in the store by the caller.
  static SubFiniteElementSpace create(store::Handle<mesh::SubMesh> submesh, Interpolation interpolation,
                                      QuadratureRule quadrature);

  SubFiniteElementSpace(SubFiniteElementSpace&&) noexcept = default;
  SubFiniteElementSpace& operator=(SubFiniteElementSpace&&) noexcept = default;
  SubFiniteElementSpace(const SubFiniteElementSpace&) = delete;
  SubFiniteElementSpace& operator=(const SubFiniteElementSpace&) = delete;
  ~SubFiniteElementSpace() = default;

  // Stored fields; the spans are lent while the caller's guard on the subspace is held.
  const store::Handle<mesh::SubMesh>& submesh() const noexcept { return submesh_; }
  Interpolation interpolation() const noexcept { return interpolation_; }
  QuadratureRule quadrature() const noexcept { return quadrature_; }
  std::uint64_t space_dim() const noexcept { return space_dim_; }
  std::uint64_t gauss_count() const noexcept { return gauss_w_.size(); }
  std::span<const double> gauss_xi_table() const noexcept { return gauss_xi_; }
  std::span<const double> gauss_w_table() const noexcept { return gauss_w_; }
  std::span<const double> n_at_g_table() const noexcept { return n_at_g_; }
  std::span<const double> dn_at_g_table() const noexcept { return dn_at_g_; }

  // Read from the submesh under a read guard (guard errors thrown).
  mesh::ElementType element_type() const;
  std::uint64_t cell_count() const;
  std::uint64_t nodes_per_cell() const;
  std::uint64_t ref_dim() const;

  // The npc x r reference derivatives at Gauss point g, lent like the tables.
  // "SubFiniteElementSpace: gauss index {} ≥ n_g {}".
  std::span<const double> dn_at_g(std::uint64_t g) const;
  // Copies of one Gauss point's rows: the gauss-index check first, then r or npc
  // (which reads the submesh), then the copy.
  std::vector<double> gauss_xi(std::uint64_t g) const;
  double gauss_weight(std::uint64_t g) const;
  std::vector<double> n_at_g(std::uint64_t g) const;

  // Geometry of cell `cell` at Gauss point g, from the active coordinates. Checks in
  // order: the gauss index, "SubFiniteElementSpace: cell index {} ≥ cell_count {}",
  // "node {} not found or collected". Layouts of geometry.hpp: J is s x r
  // ([a*r + k]), dN/dx npc x s ([i*s + a]).
  std::vector<double> jacobian(std::uint64_t cell, std::uint64_t g) const;
  // sqrt(det(J^T J)), or 0 when that determinant is not positive; never negative.
  double det_jacobian(std::uint64_t cell, std::uint64_t g) const;
  // Also "inverse_small: singular matrix" for a degenerate cell.
  std::vector<double> dn_dx(std::uint64_t cell, std::uint64_t g) const;

  // "SubFiniteElementSpace: tables do not match element type {}" unless the tables
  // have the lengths npc nodes and reference dimension r give them. A record read
  // back from a swap file is trusted for its encoding only; a table whose length
  // disagrees with the submesh's element type would make every row copy read out of
  // bounds, so it is refused where the two meet.
  void check_tables(std::uint64_t npc, std::uint64_t r, mesh::ElementType t) const;

  // Copies of the tables for a kernel driver.
  GaussTables gauss_tables() const;

  // The cell colouring slot: returns the colouring, calling `compute` on the first
  // use only (concurrent first users wait for that one call; a throwing compute leaves
  // the slot empty for the next caller). The reference is lent while the caller's
  // guard on the subspace is held. Filled by containers::finite_element_space::cell_coloring.
  const CellColoring& coloring(parallel::FunctionRef<CellColoring()> compute) const;
  bool has_coloring() const noexcept;

  // Text forms.
  // "SubFiniteElementSpace<{type}, {interp}, {quad}>: {n_g} Gauss point(s)"; "?" for
  // the type when the submesh cannot be read. Never fails.
  std::string display_text() const;
  // SubFiniteElementSpace { submesh: Handle<...>{ idx: 0, gen: 1 }, interpolation:
  // Lagrange1, quadrature: Gauss, space_dim: 2, n_g: 3 } (one line). Never fails.
  std::string debug_text() const;
  // The display text, a line feed and the table g | ξ0 .. ξ{r-1} | weight. Throws
  // (number formatting) for a precision above 65535.
  std::string dump_text(const dump::DumpOptions& options) const;

  // The swap record (the eight fields in order). `decode` also rejects records whose
  // tables disagree in length (every accessor indexes them without further checks).
  void encode(store::RecordWriter& w) const;
  static SubFiniteElementSpace decode(store::RecordReader& r);

 private:
  struct ColoringSlot {
    std::once_flag once;
    CellColoring value;
    std::atomic<bool> filled{false};
  };

  SubFiniteElementSpace() = default;
  void check_gauss(std::uint64_t g) const;
  // The cell's node coordinates (npc x s), checking cell and nodes; `npc` from the
  // submesh. Returns them with npc.
  std::vector<double> cell_coords(std::uint64_t cell, std::uint64_t& npc) const;
  std::uint64_t ref_dim_from_tables() const noexcept;

  store::Handle<mesh::SubMesh> submesh_;
  Interpolation interpolation_ = Interpolation::LAGRANGE1;
  QuadratureRule quadrature_ = QuadratureRule::GAUSS;
  std::uint64_t space_dim_ = 0;
  std::vector<double> gauss_xi_;
  std::vector<double> gauss_w_;
  std::vector<double> n_at_g_;
  std::vector<double> dn_at_g_;
  // Never null except in a moved-from object.
  std::unique_ptr<ColoringSlot> coloring_ = std::make_unique<ColoringSlot>();
};

// Debug text of an interpolation ("Lagrange1", "Lagrange2") and of a rule ("Gauss",
// "Reduced").
std::string_view debug_name(Interpolation i) noexcept;
std::string_view debug_name(QuadratureRule q) noexcept;

}  // namespace quenlith::containers::finite_element_space

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::finite_element_space::SubFiniteElementSpace> {
  using Space = containers::finite_element_space::SubFiniteElementSpace;
  static constexpr std::string_view type_path = store::type_path::sub_finite_element_space;
  static constexpr bool writable = false;
  static void encode(const Space& s, store::RecordWriter& w) { s.encode(w); }
  static Space decode(store::RecordReader& r) { return Space::decode(r); }
  static void debug_text(const Space& s, bool /*alternate*/, std::string& out) { out += s.debug_text(); }
};
