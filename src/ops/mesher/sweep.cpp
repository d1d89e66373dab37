#include "ops/mesher/sweep.hpp"

#include <optional>
#include <vector>

#include "base/error.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/mesher/convert.hpp"
#include "containers/mesh/node_refs.hpp"
#include "ops/mesher/quadratic.hpp"
#include "containers/mesh/rewrite.hpp"
#include "ops/mesher/sweep_kernel.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::NodeRefs;
using containers::mesh::SubMeshSnapshot;
using containers::mesh::rewrite_submeshes;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

Mesh sweep(const Mesh& mesh_a, const Mesh& mesh_b, std::uint64_t n_layers, ElementType type) {
  return convert_patch("sweep", sweep_kernel_2d(mesh_a, mesh_b, n_layers, type), type);
}

Mesh convert_patch(std::string_view op, Mesh patch, ElementType type) {
  switch (type) {
    case ElementType::QUA4: return patch;
    case ElementType::TRI3: return split_quads_to_triangles(patch);
    case ElementType::TRI6: return to_quadratic(split_quads_to_triangles(patch));
    case ElementType::QUA8: return to_quadratic(patch);
    case ElementType::QUA9: return quadratic_to_quad9(to_quadratic(patch));
    default:
      throw Error::message("{}: unsupported element type {} (expected QUA4, TRI3, QUA8, QUA9, TRI6)", op, type);
  }
}

Mesh split_quads_to_triangles(const Mesh& mesh) { return convert(mesh, ElementType::TRI3); }

Mesh quadratic_to_quad9(const Mesh& mesh) {
  // Declared before the output so that the call's references on the centres go
  // last, after the cells of a partial output have given theirs back.
  std::optional<NodeRefs> centres;
  return rewrite_submeshes(mesh, [&](const SubMeshSnapshot& in, const store::Handle<Coords>& coords) {
    QUENLITH_VERIFY(in.element_type == ElementType::QUA8, "quadratic_to_quad9: expected QUA8 cells, got {}",
                    in.element_type);
    if (!centres) centres.emplace(coords);
    const std::uint64_t n_cells = in.cell_count();
    std::vector<double> points;
    {
      store::ReadGuard<Coords> guard = store::read(coords);
      const Coords& c = *guard;
      const std::size_t d = c.dim();
      const std::span<const double> buf = c.active_buffer();
      points.assign(n_cells * d, 0.0);
      for (std::uint64_t cell = 0; cell < n_cells; ++cell) {
        const auto ids = in.cell(cell);
        double* centre = points.data() + cell * d;
        for (std::size_t corner = 0; corner < 4; ++corner) {
          QUENLITH_VERIFY(c.is_alive(ids[corner]), "node {} not found or collected", ids[corner]);
          for (std::size_t k = 0; k < d; ++k) centre[k] += buf[std::size_t{ids[corner]} * d + k];
        }
        for (std::size_t k = 0; k < d; ++k) centre[k] *= 0.25;
      }
    }
    const std::uint64_t first = centres->size();
    centres->reserve(n_cells);
    centres->create(points);
    SubMesh out(ElementType::QUA9, coords);
    std::vector<NodeId> cells;
    cells.reserve(n_cells * 9);
    for (std::uint64_t c = 0; c < n_cells; ++c) {
      const auto ids = in.cell(c);
      cells.insert(cells.end(), ids.begin(), ids.end());
      cells.push_back((*centres)[first + c]);
    }
    out.add_cells(cells);
    return out;
  });
}

}  // namespace quenlith::ops::mesher
