#include "ops/field/select.hpp"

#include <optional>
#include <vector>

#include "containers/field/components.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
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

// Whether every tested value of `point` (ncomp values) lies in the band.
bool passes(const double* point, const std::vector<std::size_t>& tested, const ValueBand& band) {
  for (const std::size_t p : tested)
    if (!band.contains(point[p])) return false;
  return true;
}

std::optional<SubMesh> select_zone(const SubNodeField& zone, const ValueBand& band, const ComponentList& components) {
  const auto tested = tested_positions(zone.components(), components);
  if (!tested) return std::nullopt;
  const std::size_t ncomp = zone.components().size();
  const auto nodes = zone.nodes();
  const double* values = zone.values().data();
  std::vector<NodeId> kept;
  for (std::size_t k = 0; k < nodes.size(); ++k)
    if (passes(values + k * ncomp, *tested, band)) kept.push_back(nodes[k]);
  return SubMesh::poi1_from_ids(zone.coords(), kept);
}

std::optional<SubMesh> select_zone(const SubElementField& zone, const ValueBand& band,
                                   const ComponentList& components) {
  const auto tested = tested_positions(zone.components(), components);
  if (!tested) return std::nullopt;
  const store::Handle<SubMesh> submesh = store::read(zone.support())->submesh();
  store::ReadGuard<SubMesh> source = store::read(submesh);
  SubMesh out(source->element_type(), source->coords());
  const std::size_t ncomp = zone.components().size();
  const std::size_t n_gauss = zone.gauss_count();
  const double* values = zone.values().data();
  for (std::size_t c = 0; c < zone.cell_count(); ++c) {
    bool ok = true;
    for (std::size_t g = 0; g < n_gauss && ok; ++g) ok = passes(values + (c * n_gauss + g) * ncomp, *tested, band);
    if (ok) out.add_cell(source->cell(c));
  }
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
