#pragma once
// Point location in the cells of a host mesh, and the cell copies, Newton start and
// least-squares step that the projection onto surfaces shares with it.
//
// Both queries copy every cell once per call (`CellSnapshots`) under short read
// guards on the calling thread, then answer the points on the worker pool from the
// copies only: no worker touches the store.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "containers/finite_element_space/interpolation.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::geom {

using containers::mesh::ElementType;
using containers::mesh::NodeId;

// One copied cell. Its node ids, coordinates (dim per node) and box live in the
// arrays of the owning CellSnapshots; the record's position there is its global
// cell index, the key of every tie of the queries.
struct CellSnapshot {
  std::uint64_t node_begin;  // first entry in CellSnapshots::nodes
  std::uint32_t node_count;
  ElementType element_type;
  std::uint64_t submesh;  // position of its submesh in the list given by the caller
  std::uint64_t cell;     // index within that submesh
};

// Copies of the cells of a list of submeshes, submesh by submesh in the given
// order and by ascending cell index within one.
struct CellSnapshots {
  std::size_t dim = 0;  // Coords::dim of the submeshes (0 while no submesh was read)
  std::vector<CellSnapshot> cells;
  std::vector<NodeId> nodes;
  std::vector<double> coords;  // dim values per entry of `nodes`
  std::vector<double> boxes;   // 2 * dim per cell: the per-axis minimum, then maximum

  std::size_t size() const { return cells.size(); }
  std::span<const NodeId> nodes_of(std::size_t g) const {
    return std::span<const NodeId>(nodes).subspan(cells[g].node_begin, cells[g].node_count);
  }
  std::span<const double> coords_of(std::size_t g) const {
    return std::span<const double>(coords).subspan(cells[g].node_begin * dim, cells[g].node_count * dim);
  }
  std::span<const double> box_min(std::size_t g) const {
    return std::span<const double>(boxes).subspan(2 * dim * g, dim);
  }
  std::span<const double> box_max(std::size_t g) const {
    return std::span<const double>(boxes).subspan(2 * dim * g + dim, dim);
  }
};

// Decides, for submesh s of element type t on a `dim`-D Coords, whether its cells
// are copied (true) or skipped (false); it may throw to fail the whole snapshot.
using SubmeshFilter = std::function<bool(std::uint64_t s, ElementType t, std::size_t dim)>;

// Copies every whole cell of the kept submeshes (a trailing partial cell is
// ignored), each submesh under its own read guard, then its Coords under another.
// Guard errors are thrown in submesh order; a cell on a dead node fails with
// "node {} not found or collected".
CellSnapshots snapshot_cells(std::span<const store::Handle<containers::mesh::SubMesh>> submeshes,
                             const SubmeshFilter& keep);

// LAGRANGE1 for POI1 and the linear types, LAGRANGE2 from SEG3 on.
containers::finite_element_space::Interpolation interpolation_of(ElementType t);

// The Newton start of a type: the centre of its reference cell (empty for POI1).
std::vector<double> reference_centroid(ElementType t);

// Solves JᵀJ δ = Jᵀr for δ (n values), J being rows × n row by row, by Gaussian
// elimination with partial pivoting (first row on ties). A pivot below 1e-300 in
// magnitude makes the system singular: the result is then n zeros. Never fails.
std::vector<double> least_squares_normal_equations(std::span<const double> J, std::span<const double> r,
                                                   std::size_t rows, std::size_t n);

// The uniform bucket grid over the cells' boxes: at most 128 bins per axis, one
// bin on a flat or non-finite axis. Buckets are stored packed: the cells of bucket
// b are `entries[offsets[b] .. offsets[b + 1])`, in ascending global index.
struct BucketGrid {
  std::vector<double> origin;
  std::vector<double> inv_width;  // 0 on a single-bin axis
  std::vector<std::uint64_t> bins;
  std::vector<std::uint64_t> strides;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> entries;

  std::span<const std::uint32_t> bucket(std::uint64_t b) const {
    return std::span<const std::uint32_t>(entries).subspan(offsets[b], offsets[b + 1] - offsets[b]);
  }
  // The bucket of a point (points outside the grid fall into a border bucket, a
  // NaN coordinate into the first bin of its axis).
  std::uint64_t bucket_of(std::span<const double> x) const;
};

// The grid of a non-empty snapshot list. More cells than 32-bit indices hold fail
// with "locate_points: too many cells ({})".
BucketGrid build_grid(const CellSnapshots& cells);

struct ReferencePoint {
  std::vector<double> xi;
  std::vector<double> weights;  // N_j(xi) at the final xi
  double dist2;                 // |x − Σ N_j(xi) X_j|²
};

// Gauss-Newton for the reference point of cell g nearest to x: from the type's
// centroid, at most 40 steps of least_squares_normal_equations, each followed by
// `clamp` (when given), stopping once a step's norm is at most 1e-12; N is then
// evaluated once more at the final xi. Shape-function errors are thrown.
ReferencePoint gauss_newton(const CellSnapshots& cells, std::size_t g, std::span<const double> x,
                            void (*clamp)(ElementType, std::span<double>));

struct CellLocation {
  std::vector<double> xi;       // reference coordinates (reference dimension values)
  std::vector<double> weights;  // N_j(xi), not clamped, one per cell node
  std::vector<NodeId> nodes;    // the cell's node ids, connectivity order
  std::uint64_t submesh;
  std::uint64_t cell;
};

// The first candidate of x's bucket (ascending global index) whose box (widened
// by a tenth of its size) holds x, whose inverse mapping reproduces x to
// 1e-9 × max(1, box diagonal) and whose reference coordinates pass the type's
// domain test with tolerance `tol`. A point with a NaN coordinate is never found.
std::optional<CellLocation> locate_point_in_candidates(const BucketGrid& grid, const CellSnapshots& cells, double tol,
                                                       std::span<const double> x);

// Locates every point (each of the hosts' Coords::dim coordinates) in the cells of
// the host submeshes (POI1 submeshes skipped): one entry per point, in input
// order, nullopt for a point that no cell accepts. With no cell at all every point
// is not found. Errors: guard errors and "node {} not found or collected" while
// copying; "locate_points: point {} has {} coordinates, the host is {}-D".
std::vector<std::optional<CellLocation>> locate_points(
    std::span<const store::Handle<containers::mesh::SubMesh>> host, std::span<const std::vector<double>> points,
    double tol);

}  // namespace quenlith::containers::geom
