#include "ops/io/vtk_element_field.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "ops/io/vtk.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::io {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::mesh::Mesh;
using containers::mesh::SubMesh;

namespace {

// What the writer needs of one zone, copied under its guard (then its subspace's).
struct ZoneCopy {
  store::Handle<SubMesh> submesh;  // the submesh its subspace is built on
  std::vector<std::string> components;
  std::uint64_t n_cells = 0;
  std::uint64_t n_gauss = 0;
  std::vector<double> values;  // copied only for zones on a submesh of the mesh
};

ZoneCopy copy_zone(const store::Handle<SubElementField>& h, std::span<const store::Handle<SubMesh>> subs) {
  ZoneCopy z;
  containers::element_field::SubSpaceHandle space;
  {
    const store::ReadGuard<SubElementField> zone = store::read(h);
    space = zone->support();
    z.components.assign(zone->components().begin(), zone->components().end());
    z.n_cells = zone->cell_count();
    z.n_gauss = zone->gauss_count();
    z.values.assign(zone->values().begin(), zone->values().end());
  }
  // A zone's guard is released before its support's is taken (the lock order).
  z.submesh = store::read(space)->submesh();
  bool on_mesh = false;
  for (const auto& s : subs) on_mesh = on_mesh || s == z.submesh;
  if (!on_mesh) z.values = {};
  return z;
}

}  // namespace

void write_vtk_element_field(const Mesh& mesh, const ElementField& field, const std::string& path) {
  write_vtk_with_data(mesh, path, "quenlith element field", VtkDataLocation::Cells, [&](const VtkGrid& grid) {
    const auto subs = mesh.subs();
    std::vector<ZoneCopy> zones;
    zones.reserve(field.subs().size());
    for (const auto& h : field.subs()) zones.push_back(copy_zone(h, subs));

    // Every submesh needs a zone, and its first zone must fit its cells.
    for (std::size_t s = 0; s < subs.size(); ++s) {
      const ZoneCopy* first = nullptr;
      for (const ZoneCopy& z : zones)
        if (z.submesh == subs[s]) {
          first = &z;
          break;
        }
      QUENLITH_VERIFY(first,
                      "vtk: a mesh submesh carries no element-field zone — the field must come from a space built "
                      "on this mesh");
      QUENLITH_VERIFY(first->n_cells == grid.submesh_cells[s],
                      "vtk: element field has {} cell(s) on a submesh with {} — the field must come from a space "
                      "built on this mesh",
                      first->n_cells, grid.submesh_cells[s]);
    }

    std::vector<std::string> names;
    for (const ZoneCopy& z : zones) containers::field::add_components(names, z.components);
    std::vector<VtkArray> arrays;
    arrays.reserve(names.size());
    for (const std::string& name : names) {
      VtkArray array{name, std::vector<double>(grid.n_cells(), 0.0)};
      std::uint64_t cell = 0;
      for (std::size_t s = 0; s < subs.size(); ++s) {
        const std::uint64_t n_cells = grid.submesh_cells[s];
        // The zone that gives this submesh's values of `name`, and the column.
        const ZoneCopy* from = nullptr;
        std::size_t column = 0;
        for (const ZoneCopy& z : zones) {
          if (z.submesh != subs[s]) continue;
          const std::optional<std::size_t> c = containers::field::find_component(z.components, name);
          if (!c) continue;
          QUENLITH_VERIFY(!from || n_cells == 0,
                          "vtk: component {} is carried by two zones on the same support — consolidate the field "
                          "first",
                          name);
          if (!from) {
            from = &z;
            column = *c;
          }
        }
        // Only the first zone of a submesh was checked above; a later one that
        // supplies values must fit as well, or its values would be read out of range.
        QUENLITH_VERIFY(!from || from->n_cells == n_cells,
                        "vtk: element field has {} cell(s) on a submesh with {} — the field must come from a space "
                        "built on this mesh",
                        from ? from->n_cells : 0, n_cells);
        if (from && from->n_gauss > 0) {
          const std::uint64_t ng = from->n_gauss;
          const std::size_t nc = from->components.size();
          for (std::uint64_t e = 0; e < n_cells; ++e) {
            double sum = 0.0;
            for (std::uint64_t g = 0; g < ng; ++g) sum += from->values[(e * ng + g) * nc + column];
            array.values[cell + e] = sum / static_cast<double>(ng);
          }
        }
        cell += n_cells;
      }
      arrays.push_back(std::move(array));
    }
    return arrays;
  });
}

}  // namespace quenlith::ops::io
