#include "ops/field/mask.hpp"

#include <optional>
#include <span>
#include <vector>

#include "containers/field/algebra.hpp"
#include "containers/field/mask.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::node_field::NodeField;
using containers::node_field::SubNodeField;

namespace {

template <class Zone>
Zone mask_zone(const Zone& zone, const ValueBand& band, const ComponentList& components) {
  const std::vector<std::uint8_t> tested = containers::field::tested_components(zone.components(), components);
  const std::span<const double> in = zone.values();
  typename Zone::ValueArray out(in.size());  // left unwritten until the mask fills it
  containers::field::mask_values(in, out, tested, band);
  return zone.with_values(std::move(out));
}

template <class Field>
Field mask_field(const Field& field, const ValueBand& band, const ComponentList& components) {
  using Zone = typename Field::Sub;
  std::vector<std::optional<Zone>> masked(field.size());
  containers::field::detail::for_each_zone<Zone>(
      field.subs(), [&](std::size_t i, const Zone& z) { masked[i].emplace(mask_zone(z, band, components)); });
  Field out;
  for (std::optional<Zone>& zone : masked) out.push_sub(store::insert(std::move(*zone)));
  return out;
}

}  // namespace

SubNodeField mask_sub_node_field(const SubNodeField& zone, const ValueBand& band, const ComponentList& components) {
  return mask_zone(zone, band, components);
}

SubElementField mask_sub_element_field(const SubElementField& zone, const ValueBand& band,
                                       const ComponentList& components) {
  return mask_zone(zone, band, components);
}

NodeField mask_node_field(const NodeField& field, const ValueBand& band, const ComponentList& components) {
  return mask_field(field, band, components);
}

ElementField mask_element_field(const ElementField& field, const ValueBand& band, const ComponentList& components) {
  return mask_field(field, band, components);
}

}  // namespace quenlith::ops::field
