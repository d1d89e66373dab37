#include "ops/field/select.hpp"

#include <optional>
#include <vector>

#include "containers/field/components.hpp"
#include "containers/field/mask.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "parallel/row_ops.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using containers::node_field::NodeField;
using containers::node_field::SubNodeField;

namespace {

// The tested positions of a zone, or nothing when a listed name is missing (the zone
// is then skipped).
std::optional<std::vector<std::size_t>> tested_positions(std::span<const std::string> names,
                                                         const ComponentList& components) {
  std::vector<std::size_t> out;
  if (!components) {
    for (std::size_t c = 0; c < names.size(); ++c) out.push_back(c);
    return out;
  }
  for (const std::string& name : *components) {
    const auto c = containers::field::find_component(names, name);
    if (!c) return std::nullopt;
    out.push_back(*c);
  }
  return out;
}

std::optional<SubMesh> select_zone(const SubNodeField& zone, const ValueBand& band, const ComponentList& components) {
  const auto tested = tested_positions(zone.components(), components);
  if (!tested) return std::nullopt;
  const parallel::ItemBits pass =
      containers::field::items_in_band(zone.values(), zone.components().size(), 1, *tested, band);
  return SubMesh::poi1_from_owned_ids(zone.coords(), parallel::par_gather_set(pass, zone.nodes(), 1));
}

std::optional<SubMesh> select_zone(const SubElementField& zone, const ValueBand& band,
                                   const ComponentList& components) {
  const auto tested = tested_positions(zone.components(), components);
  if (!tested) return std::nullopt;
  const store::Handle<SubMesh> submesh = store::read(zone.support())->submesh();
  store::ReadGuard<SubMesh> source = store::read(submesh);
  SubMesh out(source->element_type(), source->coords());
  // A cell passes when all its Gauss points do: items of n_gauss rows (every cell,
  // when it has none).
  const std::uint64_t k = source->nodes_per_cell();
  const std::span<const NodeId> cells =
      source->connectivity().first(std::min<std::size_t>(source->connectivity().size(), zone.cell_count() * k));
  const parallel::ItemBits pass =
      zone.gauss_count() == 0 ? parallel::all_items(zone.cell_count())
                              : containers::field::items_in_band(zone.values(), zone.components().size(),
                                                                 zone.gauss_count(), *tested, band);
  const std::vector<NodeId> kept = parallel::par_gather_set(pass, cells, k);
  if (!kept.empty()) out.add_cells(kept);
  return out;
}

template <class Zone>
Mesh select_one(const Zone& zone, const ValueBand& band, const ComponentList& components) {
  Mesh out;
  if (std::optional<SubMesh> sub = select_zone(zone, band, components)) out.push_sub(store::insert(std::move(*sub)));
  return out;
}

template <class Field>
Mesh select_all(const Field& field, const ValueBand& band, const ComponentList& components) {
  Mesh out;
  for (const auto& h : field.subs()) {
    std::optional<SubMesh> sub = select_zone(*store::read(h), band, components);
    if (sub) out.push_sub(store::insert(std::move(*sub)));
  }
  return out;
}

}  // namespace

Mesh select_sub_node_field(const SubNodeField& zone, const ValueBand& band, const ComponentList& components) {
  return select_one(zone, band, components);
}
Mesh select_sub_element_field(const SubElementField& zone, const ValueBand& band, const ComponentList& components) {
  return select_one(zone, band, components);
}
Mesh select_node_field(const NodeField& field, const ValueBand& band, const ComponentList& components) {
  return select_all(field, band, components);
}
Mesh select_element_field(const ElementField& field, const ValueBand& band, const ComponentList& components) {
  return select_all(field, band, components);
}

}  // namespace quenlith::ops::field
