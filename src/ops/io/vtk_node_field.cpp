#include "ops/io/vtk_node_field.hpp"

#include "base/error.hpp"
#include "ops/io/vtk.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::io {

using containers::mesh::Coords;
using containers::mesh::Mesh;
using containers::node_field::NodeField;
using containers::node_field::NodeFieldView;

void write_vtk_node_field(const Mesh& mesh, const NodeField& field, const std::string& path) {
  write_vtk_with_data(mesh, path, "quenlith node field", VtkDataLocation::Points, [&](const VtkGrid& grid) {
    // Taken before the view's guards: the mesh's submeshes may be the zones' supports.
    const store::Handle<Coords> coords = mesh.coords();
    const NodeFieldView view(field);
    for (std::size_t z = 0; z < view.zone_count(); ++z)
      QUENLITH_VERIFY(view.support(z).coords() == coords, "vtk: node-field zone {} lies on another Coords than the mesh",
                      z);
    std::vector<VtkArray> arrays;
    arrays.reserve(view.components().size());
    for (const std::string& name : view.components()) {
      VtkArray array{name, std::vector<double>(grid.n_points(), 0.0)};
      NodeFieldView::Reader reader(view, name);
      for (std::uint64_t p = 0; p < grid.n_points(); ++p)
        if (const auto at = reader.find(grid.node_ids[p])) array.values[p] = view.zone(at->zone).get(at->row, at->comp);
      arrays.push_back(std::move(array));
    }
    return arrays;
  });
}

}  // namespace quenlith::ops::io
