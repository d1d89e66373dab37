#include "ops/mesher/sweep_kernel.hpp"

#include <string>
#include <unordered_map>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/mesher/chain.hpp"
#include "containers/mesh/node_refs.hpp"
#include "containers/mesh/rewrite.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::NodeRefs;
using containers::mesh::SubMeshSnapshot;
using containers::mesh::snapshot;
using containers::mesh::finite_points;
using containers::mesh::check_finite;
using containers::mesh::check_new_points;
using containers::mesh::sat_mul;
using containers::mesh::sat_add;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

// A source cell's local nodes in the joined cell: below 8 the node of the bottom
// layer, from 8 the node (value - 8) of the top layer.
constexpr std::uint8_t kTop = 8;
constexpr std::uint8_t kSegToQua[] = {0, 1, kTop + 1, kTop + 0};
constexpr std::uint8_t kTriToPenta[] = {0, 1, 2, kTop + 0, kTop + 1, kTop + 2};
constexpr std::uint8_t kQuaToHex[] = {0, 1, 2, 3, kTop + 0, kTop + 1, kTop + 2, kTop + 3};

struct Joined {
  ElementType type;
  std::span<const std::uint8_t> pattern;
};

// The joined type of a source type; nullopt-like (empty pattern) for the others.
Joined joined_type(ElementType source) {
  switch (source) {
    case ElementType::SEG2: return {ElementType::QUA4, kSegToQua};
    case ElementType::TRI3: return {ElementType::PENTA6, kTriToPenta};
    case ElementType::QUA4: return {ElementType::HEX8, kQuaToHex};
    default: return {source, {}};
  }
}

// The layers: n_layers + 1 blocks of `width` ids, block 0 the source list.
struct Layers {
  NodeRefs refs;
  std::uint64_t width;
  NodeId at(std::uint64_t layer, std::uint64_t position) const noexcept { return refs[layer * width + position]; }
};

// Layer 0 = `ids_a`, layer n_layers = `ids_b`, layer i between them at
// (b - a) · (i / n_layers) + a (`dim` coordinates per node). Every new point is
// computed and checked before any node is made, then computed again as it is made:
// one layer at a time, never all of them held at once.
void fill_interpolated(std::string_view op, Layers& layers, std::span<const NodeId> ids_a, std::span<const double> xa,
                       std::span<const NodeId> ids_b, std::span<const double> xb, std::uint64_t n_layers,
                       std::size_t dim) {
  std::vector<double> row(xa.size());
  const double n = static_cast<double>(n_layers);
  const auto layer = [&](std::uint64_t i) {
    const double t = static_cast<double>(i) / n;
    for (std::size_t k = 0; k < row.size(); ++k) row[k] = (xb[k] - xa[k]) * t + xa[k];
  };
  for (std::uint64_t i = 1; i < n_layers; ++i) {
    layer(i);
    check_new_points(op, row, dim);
  }
  layers.refs.reserve(sat_mul(n_layers + 1, ids_a.size()));
  layers.refs.acquire(ids_a);
  for (std::uint64_t i = 1; i < n_layers; ++i) {
    layer(i);
    layers.refs.create(row);
  }
  layers.refs.acquire(ids_b);
}

// Appends to `out` the joined cells of `cells` (source cells as positions in the
// layers, `source` type), layer by layer, cell by cell.
void join_cells(SubMesh& out, const Layers& layers, ElementType source, std::span<const std::uint64_t> cells,
                std::uint64_t n_layers) {
  const Joined joined = joined_type(source);
  const std::size_t k = containers::mesh::nodes_per_cell(source);
  // One layer of cells at a time.
  std::vector<NodeId> ids;
  ids.reserve(cells.size() / k * joined.pattern.size());
  for (std::uint64_t layer = 0; layer < n_layers; ++layer) {
    ids.clear();
    for (std::size_t start = 0; start + k <= cells.size(); start += k) {
      for (const std::uint8_t local : joined.pattern)
        ids.push_back(local < kTop ? layers.at(layer, cells[start + local])
                                   : layers.at(layer + 1, cells[start + local - kTop]));
    }
    out.add_cells(ids);
  }
}

}  // namespace

std::vector<NodeId> line_chain(std::span<const NodeId> connectivity) {
  std::vector<NodeId> chain;
  if (connectivity.size() < 2) return chain;
  chain.reserve(connectivity.size() / 2 + 1);
  chain.push_back(connectivity[0]);
  for (std::size_t i = 1; i < connectivity.size(); i += 2) chain.push_back(connectivity[i]);
  return chain;
}

std::uint64_t patch_conversion_nodes(std::uint64_t m, std::uint64_t n, ElementType type) {
  // Edges of the grid: m + 1 lines of n edges, and m lines of n + 1 edges.
  const std::uint64_t edges = sat_add(sat_mul(sat_add(m, 1), n), sat_mul(m, sat_add(n, 1)));
  switch (type) {
    case ElementType::QUA8: return edges;
    case ElementType::TRI6:  // one more edge per quadrilateral: its diagonal
    case ElementType::QUA9:  // one centre per quadrilateral
      return sat_add(edges, sat_mul(m, n));
    default: return 0;
  }
}

Mesh sweep_kernel_2d(const Mesh& mesh_a, const Mesh& mesh_b, std::uint64_t n_layers, ElementType then) {
  QUENLITH_VERIFY(n_layers >= 1, "sweep: n_layers must be ≥ 1");
  QUENLITH_VERIFY(mesh_a.size() == 1, "sweep: mesh_a must have exactly one submesh");
  QUENLITH_VERIFY(mesh_b.size() == 1, "sweep: mesh_b must have exactly one submesh");
  const SubMeshSnapshot a = snapshot(mesh_a.subs()[0]);
  const SubMeshSnapshot b = snapshot(mesh_b.subs()[0]);
  store::Handle<Coords> coords = mesh_a.coords();
  QUENLITH_VERIFY(coords == mesh_b.coords(), "sweep: meshes are attached to different Coords");
  QUENLITH_VERIFY(a.element_type == ElementType::SEG2, "sweep: mesh_a must be a SEG2 mesh");
  QUENLITH_VERIFY(b.element_type == ElementType::SEG2, "sweep: mesh_b must be a SEG2 mesh");
  const std::uint64_t c = a.cell_count();
  QUENLITH_VERIFY(c == b.cell_count(), "sweep: mesh_a has {} elements but mesh_b has {}", c, b.cell_count());
  QUENLITH_VERIFY(c >= 1, "sweep: mesh_a and mesh_b have no elements");
  const std::vector<NodeId> chain_a = line_chain(a.connectivity);
  const std::vector<NodeId> chain_b = line_chain(b.connectivity);
  std::size_t dim = 0;
  const std::vector<double> xa = finite_points("sweep", coords, chain_a, dim);
  const std::vector<double> xb = finite_points("sweep", coords, chain_b, dim);
  check_node_room("sweep", fmt::format("n_layers {}", n_layers), coords,
                  sat_add(sat_mul(n_layers - 1, c + 1), patch_conversion_nodes(n_layers, c, then)));

  Layers layers{NodeRefs(coords), chain_a.size()};
  fill_interpolated("sweep", layers, chain_a, xa, chain_b, xb, n_layers, dim);
  std::vector<std::uint64_t> cells(2 * c);
  for (std::uint64_t j = 0; j < c; ++j) {
    cells[2 * j] = j;
    cells[2 * j + 1] = j + 1;
  }
  SubMesh out(ElementType::QUA4, coords);
  join_cells(out, layers, ElementType::SEG2, cells, n_layers);
  return Mesh::from_submesh(std::move(out));
}

Mesh sweep_solid(const Mesh& mesh_a, const Mesh& mesh_b, std::uint64_t n_layers) {
  QUENLITH_VERIFY(n_layers >= 1, "sweep_solid: n_layers must be ≥ 1");
  QUENLITH_VERIFY(mesh_a.size() == 1 && mesh_b.size() == 1, "sweep_solid: both meshes must have exactly one submesh");
  const SubMeshSnapshot a = snapshot(mesh_a.subs()[0]);
  const SubMeshSnapshot b = snapshot(mesh_b.subs()[0]);
  store::Handle<Coords> coords = mesh_a.coords();
  QUENLITH_VERIFY(coords == mesh_b.coords(), "sweep_solid: meshes are attached to different Coords");
  QUENLITH_VERIFY(a.element_type == b.element_type, "sweep_solid: element types differ ({} vs {})", a.element_type,
                  b.element_type);
  QUENLITH_VERIFY(a.element_type == ElementType::TRI3 || a.element_type == ElementType::QUA4,
                  "sweep_solid: unsupported surface type {} (supported: TRI3, QUA4)", a.element_type);
  QUENLITH_VERIFY(a.cell_count() == b.cell_count(), "sweep_solid: mesh_a has {} cells but mesh_b has {}",
                  a.cell_count(), b.cell_count());

  // Pairing by position: list A the distinct nodes of mesh_a by first appearance,
  // list B their partners; `cells` the connectivity of mesh_a as list positions.
  std::vector<NodeId> list_a;
  std::vector<NodeId> list_b;
  std::unordered_map<NodeId, std::uint64_t> position;
  std::vector<std::uint64_t> cells(a.connectivity.size());
  for (std::size_t i = 0; i < a.connectivity.size(); ++i) {
    const auto [it, fresh] = position.try_emplace(a.connectivity[i], list_a.size());
    if (fresh) {
      list_a.push_back(a.connectivity[i]);
      list_b.push_back(b.connectivity[i]);
    } else {
      QUENLITH_VERIFY(list_b[it->second] == b.connectivity[i],
                      "sweep_solid: inconsistent node correspondence between the two meshes");
    }
    cells[i] = it->second;
  }
  std::size_t dim = 0;
  const std::vector<double> xa = finite_points("sweep_solid", coords, list_a, dim);
  const std::vector<double> xb = finite_points("sweep_solid", coords, list_b, dim);
  check_node_room("sweep_solid", fmt::format("n_layers {}", n_layers), coords,
                  sat_mul(n_layers - 1, list_a.size()));

  Layers layers{NodeRefs(coords), list_a.size()};
  fill_interpolated("sweep_solid", layers, list_a, xa, list_b, xb, n_layers, dim);
  SubMesh out(joined_type(a.element_type).type, coords);
  join_cells(out, layers, a.element_type, cells, n_layers);
  return Mesh::from_submesh(std::move(out));
}

Mesh extrude(const Mesh& mesh, std::span<const double> direction, std::uint64_t n_layers) {
  QUENLITH_VERIFY(n_layers >= 1, "extrude: n_layers must be ≥ 1");
  store::Handle<Coords> coords = mesh.coords();
  // One snapshot per submesh serves both the node list and the cells, so the cells
  // name only listed nodes even if a submesh grows meanwhile.
  std::vector<SubMeshSnapshot> sources;
  sources.reserve(mesh.size());
  std::vector<NodeId> list;
  std::unordered_map<NodeId, std::uint64_t> position;
  for (const auto& sub : mesh.subs()) {
    sources.push_back(snapshot(sub));
    for (const NodeId id : sources.back().connectivity)
      if (position.try_emplace(id, list.size()).second) list.push_back(id);
  }
  QUENLITH_VERIFY(!list.empty(), "extrude: mesh has no cells");
  std::size_t dim = 0;
  const std::vector<double> x = finite_points("extrude", coords, list, dim);
  QUENLITH_VERIFY(direction.size() == dim, "extrude: direction has {} components but node dimension is {}",
                  direction.size(), dim);
  check_finite("extrude", "direction", direction);
  check_node_room("extrude", fmt::format("n_layers {}", n_layers), coords, sat_mul(n_layers, list.size()));

  std::vector<double> step(dim);
  for (std::size_t k = 0; k < dim; ++k) step[k] = direction[k] / static_cast<double>(n_layers);
  // Each layer's points are checked first, then computed again as they are made.
  std::vector<double> row(x.size());
  const auto layer_points = [&](std::uint64_t layer) {
    const double s = static_cast<double>(layer);
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = s * step[i % dim] + x[i];
  };
  for (std::uint64_t layer = 1; layer <= n_layers; ++layer) {
    layer_points(layer);
    check_new_points("extrude", row, dim);
  }
  Layers layers{NodeRefs(coords), list.size()};
  layers.refs.reserve(sat_mul(n_layers + 1, list.size()));
  layers.refs.acquire(list);
  for (std::uint64_t layer = 1; layer <= n_layers; ++layer) {
    layer_points(layer);
    layers.refs.create(row);
  }

  Mesh out;
  std::vector<std::uint64_t> cells;
  for (const SubMeshSnapshot& source : sources) {
    const Joined joined = joined_type(source.element_type);
    QUENLITH_VERIFY(!joined.pattern.empty(), "extrude: cannot extrude {} elements (supported: SEG2, TRI3, QUA4)",
                    source.element_type);
    cells.resize(source.connectivity.size());
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = position.find(source.connectivity[i])->second;
    SubMesh sub(joined.type, coords);
    join_cells(sub, layers, source.element_type, cells, n_layers);
    out.push_sub(store::insert(std::move(sub)));
  }
  return out;
}

}  // namespace quenlith::ops::mesher
