#include "ops/field/restrict.hpp"

#include <utility>
#include <vector>

#include "base/error.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::node_field::NodeField;
using containers::node_field::NodeFieldView;
using containers::node_field::SubNodeField;

namespace {

// The zones (values 0.0) filled from `field` and stored in order. The zones are made
// before the view's guards are taken: making one may seal its support, which must
// not wait behind a read guard of this thread.
NodeField fill_from(const NodeField& field, std::vector<SubNodeField> zones) {
  {
    const NodeFieldView view(field);
    for (SubNodeField& zone : zones) {
      const auto nodes = zone.nodes();
      const std::vector<std::string> names(zone.components().begin(), zone.components().end());
      for (std::size_t row = 0; row < nodes.size(); ++row)
        for (std::size_t c = 0; c < names.size(); ++c)
          if (const auto v = view.value(nodes[row], names[c])) zone.set(row, c, *v);
    }
  }
  NodeField out;
  for (SubNodeField& zone : zones) out.push_sub(store::insert(std::move(zone)));
  return out;
}

}  // namespace

NodeField restrict(const NodeField& field, const containers::mesh::Mesh& mesh) {
  const auto mesh_coords = mesh.coords();
  QUENLITH_VERIFY(field.coords() == mesh_coords, "restrict: mesh is not attached to the same Coords");
  const std::vector<std::string> names = field.components();
  std::vector<SubNodeField> zones;
  zones.reserve(mesh.size());
  for (const auto& submesh : mesh.subs()) zones.push_back(SubNodeField::on_nodes_of(submesh, names));
  return fill_from(field, std::move(zones));
}

NodeField restrict_like(const NodeField& field, const NodeField& target) {
  const auto target_coords = target.coords();
  QUENLITH_VERIFY(field.coords() == target_coords, "restrict_like: target is not attached to the same Coords");
  std::vector<SubNodeField> zones;
  zones.reserve(target.size());
  for (const auto& h : target.subs()) {
    store::Handle<containers::mesh::SubMesh> support;
    std::vector<std::string> names;
    {
      store::ReadGuard<SubNodeField> zone = store::read(h);
      support = zone->support();
      names.assign(zone->components().begin(), zone->components().end());
    }
    zones.push_back(SubNodeField::create(support, std::move(names)));
  }
  return fill_from(field, std::move(zones));
}

}  // namespace quenlith::ops::field
