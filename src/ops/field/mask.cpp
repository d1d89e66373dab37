#include "ops/field/mask.hpp"

#include <optional>
#include <span>
#include <vector>

#include "containers/field/mask.hpp"
#include "parallel/pool.hpp"
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
  typename Zone::ValueArray out(zone.values().size());
  containers::field::mask_values(zone.values(), out, tested, band);
  return zone.with_values(std::move(out));
}

template <class Field>
Field mask_field(const Field& field, const ValueBand& band, const ComponentList& components) {
  using Zone = typename Field::Sub;
  const auto handles = field.subs();
  const std::size_t n = handles.size();
  std::vector<std::optional<Zone>> masked(n);
  {
    // Guards on the calling thread, in zone order: workers take no store lock, and
    // the first zone that cannot be read is the error reported.
    std::vector<store::ReadGuard<Zone>> guards;
    std::vector<const Zone*> zones(n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < i && !zones[i]; ++j)
        if (handles[j] == handles[i]) zones[i] = zones[j];
      if (!zones[i]) {
        guards.push_back(store::read(handles[i]));
        zones[i] = &guards.back().get();
      }
    }
    parallel::for_chunks(n, 1, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index i = begin; i < end; ++i) masked[i].emplace(mask_zone(*zones[i], band, components));
    });
  }
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
