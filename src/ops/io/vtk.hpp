#pragma once
// The legacy VTK writer: a mesh, optionally with point data or cell data, as one
// ASCII UNSTRUCTURED_GRID file.
//
// The text is built whole in memory and put on disk with store::replace_file (a new
// file beside the target, renamed over it), so a failed call leaves the target as it
// was. Points are the nodes the cells reference, once each, in order of first
// reference (submesh by submesh, cell by cell, node by node); cells follow the mesh
// and keep their node order, which is already VTK's for every type of the catalogue
// (the wedges included: a positive PENTA6 or PENTA15 is positive for VTK too). Every
// double is written in the plain shortest form of dump::append_plain_number.
//
// Data arrays come from the callers as plain arrays (one per component, one value per
// point or per cell), so any field kind can feed the writer: see write_vtk_with_data.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "parallel/function_ref.hpp"

namespace quenlith::ops::io {

// The VTK cell type code of an element type (1 vertex ... 29 triquadratic hexahedron).
std::uint8_t vtk_cell_type(containers::mesh::ElementType t);

// The component name with every Unicode white-space character (tab to carriage
// return, space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
// U+205F, U+3000) replaced by one "_"; everything else kept, bytes that are not UTF-8
// included.
std::string vtk_array_name(std::string_view component);

// The grid of a mesh, as the file shows it.
struct VtkGrid {
  std::vector<double> points;                   // 3 per point: the first min(dim, 3) coordinates, then zeros
  std::vector<containers::mesh::NodeId> node_ids;  // point i is node node_ids[i]
  std::vector<std::uint64_t> cell_offsets;      // cell c's point indices are [cell_offsets[c], cell_offsets[c + 1])
  std::vector<std::uint32_t> cell_points;       // point indices, cell after cell
  std::vector<std::uint8_t> cell_types;         // VTK code per cell
  std::vector<std::uint64_t> submesh_cells;     // cell count of each submesh of the mesh, in mesh order

  std::uint64_t n_points() const noexcept { return node_ids.size(); }
  std::uint64_t n_cells() const noexcept { return cell_types.size(); }

  // Errors: "coords: mesh has no submeshes"; "node {} not found or collected" at the
  // first dead node in cell order; guard errors. Each submesh is copied under its
  // read guard, released before the Coords read guard is taken for the points.
  static VtkGrid from_mesh(const containers::mesh::Mesh& mesh);
};

// Which part of the grid a data block describes.
enum class VtkDataLocation { Points, Cells };

// One data array: the component as the field names it (the array is named by
// vtk_array_name) and one value per point or per cell.
struct VtkArray {
  std::string component;
  std::vector<double> values;
};

// Appends lines 1 to 7 of the file (header, title, POINTS, CELLS, CELL_TYPES). The
// point, cell and cell-type lines are formatted on the worker pool in fixed blocks and
// joined in order, so the text does not depend on the number of threads.
void write_vtk_grid(std::string& out, const VtkGrid& grid, std::string_view title);

// Appends "POINT_DATA n" or "CELL_DATA n" and one "SCALARS" block per array. Each
// array must hold `count` values (the grid's points or cells).
void write_vtk_data(std::string& out, VtkDataLocation location, std::uint64_t count, std::span<const VtkArray> arrays);

// The file of a mesh alone, titled "quenlith mesh".
void write_vtk_mesh(const containers::mesh::Mesh& mesh, const std::string& path);

// The file of a mesh with one data block: the grid is built first, then `arrays(grid)`
// gives the arrays (one value per grid point, or per grid cell, each); its errors are
// thrown before anything is written. Throws "vtk: array {} has {} value(s) for {}
// {}" when an array has the wrong length. The title is the file's second line.
void write_vtk_with_data(const containers::mesh::Mesh& mesh, const std::string& path, std::string_view title,
                         VtkDataLocation location,
                         parallel::FunctionRef<std::vector<VtkArray>(const VtkGrid&)> arrays);

}  // namespace quenlith::ops::io
