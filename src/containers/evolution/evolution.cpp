#include "containers/evolution/evolution.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/field/algebra.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::evolution {

namespace {

std::size_t kind_of(const store::Handle<SubEvolution>& h) { return store::read(h)->kind(); }

constexpr std::string_view kKinds[] = {"scalar", "node", "element"};

template <class Zone>
Zone copy_of(const store::Handle<Zone>& zone) {
  return store::read(zone)->clone();
}

// The zones of `field` mapped one task per zone (field::detail::for_each_zone:
// every zone's guard taken on the calling thread), stored and listed in zone order.
template <class Field, class Map>
Field map_zones(const Field& field, Map&& map) {
  using Zone = typename Field::Sub;
  std::vector<std::optional<Zone>> mapped(field.size());
  field::detail::for_each_zone<Zone>(field.subs(), [&](std::size_t i, const Zone& z) { mapped[i].emplace(map(z)); });
  Field out;
  for (std::optional<Zone>& z : mapped) out.push_sub(store::insert(std::move(*z)));
  return out;
}

}  // namespace

void Evolution::check_joins(const H& first, const H& incoming) {
  const std::size_t a = kind_of(first);
  const std::size_t b = kind_of(incoming);
  QUENLITH_VERIFY(a == b, "Evolution: cannot mix {} and {} sub-evolutions", kKinds[a], kKinds[b]);
}

Evolution Evolution::from_scalar_steps(std::span<const std::pair<double, double>> steps, OutOfRange policy) {
  std::vector<Sample> samples;
  samples.reserve(steps.size());
  for (const auto& [a, y] : steps) samples.push_back({a, y});
  std::vector<H> curves;
  curves.push_back(store::insert(SubEvolution::create(std::move(samples), policy)));
  return Evolution(std::move(curves), policy);
}

template <class Field>
Evolution Evolution::from_fields(std::string_view who, std::span<const std::pair<double, const Field*>> steps,
                                 OutOfRange policy) {
  using Zone = typename Field::Sub;
  using Support = std::remove_cvref_t<decltype(std::declval<const Zone&>().support())>;
  QUENLITH_VERIFY(!steps.empty(), "Evolution::{}: no sample", who);
  const auto first = steps.front().second->subs();
  QUENLITH_VERIFY(!first.empty(), "Evolution::{}: the first field has no zone", who);
  // The support of every zone of every step, each zone read once.
  std::vector<std::vector<Support>> supports;
  supports.reserve(steps.size());
  for (const auto& step : steps) {
    std::vector<Support> s;
    for (const auto& zone : step.second->subs()) s.push_back(store::read(zone)->support());
    supports.push_back(std::move(s));
  }
  std::vector<H> curves;
  for (std::size_t i = 0; i < first.size(); ++i) {
    const Support& support = supports.front()[i];
    std::size_t rank = 0;  // earlier zones of the first field on the same support
    for (std::size_t j = 0; j < i; ++j) rank += supports.front()[j] == support;
    std::vector<Sample> samples;
    samples.reserve(steps.size());
    for (std::size_t k = 0; k < steps.size(); ++k) {
      const auto zones = steps[k].second->subs();
      std::size_t seen = 0, found = zones.size();
      for (std::size_t z = 0; z < zones.size() && found == zones.size(); ++z)
        if (supports[k][z] == support && seen++ == rank) found = z;
      QUENLITH_VERIFY(found < zones.size(), "Evolution::{}: a step is missing a zone present in the first step", who);
      samples.push_back({steps[k].first, copy_of(zones[found])});
    }
    curves.push_back(store::insert(SubEvolution::create(std::move(samples), policy)));
  }
  return Evolution(std::move(curves), policy);
}

Evolution Evolution::from_node_fields(std::span<const std::pair<double, const NodeField*>> steps, OutOfRange policy) {
  return from_fields<NodeField>("from_node_fields", steps, policy);
}

Evolution Evolution::from_element_fields(std::span<const std::pair<double, const ElementField*>> steps,
                                         OutOfRange policy) {
  return from_fields<ElementField>("from_element_fields", steps, policy);
}

void Evolution::set_abscissa_type(const std::optional<std::string>& label) const {
  for (const H& h : subs()) store::write(h)->set_abscissa_type(label);
}

void Evolution::set_ordinate_type(const std::optional<std::string>& label) const {
  for (const H& h : subs()) store::write(h)->check_ordinate_type(label);
}

std::optional<std::string> Evolution::abscissa_type() const {
  if (empty()) return std::nullopt;
  return store::read(subs().front())->abscissa_type();
}

std::optional<std::string> Evolution::ordinate_type() const {
  if (empty()) return std::nullopt;
  return store::read(subs().front())->ordinate_type();
}

Evolution::Interpolated Evolution::interpolate(std::optional<OutOfRange> policy, double x) const {
  QUENLITH_VERIFY(!empty(), "Evolution: cannot interpolate an empty evolution");
  const OutOfRange p = policy.value_or(out_of_range_);
  const std::size_t kind = kind_of(subs().front());
  std::vector<double> numbers;
  NodeField nodes;
  ElementField elements;
  for (const H& h : subs()) {
    EvolutionValue v = store::read(h)->interpolate(p, x);
    QUENLITH_VERIFY(v.index() == kind, "Evolution: inconsistent value kinds across sub-evolutions");
    switch (kind) {
      case 0: numbers.push_back(std::get<0>(v)); break;
      case 1: nodes.push_sub(store::insert(std::move(std::get<1>(v)))); break;
      default: elements.push_sub(store::insert(std::move(std::get<2>(v)))); break;
    }
  }
  switch (kind) {
    case 0: return numbers;
    case 1: return nodes;
    default: return elements;
  }
}

SubEvolution Evolution::single_curve() const {
  QUENLITH_VERIFY(size() == 1, "evolution: mapping a field needs a single-curve evolution, but this one has {} curve(s)",
                  size());
  store::ReadGuard<SubEvolution> curve = store::read(subs().front());
  QUENLITH_VERIFY(curve->is_scalar(), "evolution: a field can only be mapped through a scalar-valued evolution");
  return curve->clone();
}

NodeField Evolution::map_node_field(const NodeField& field, std::optional<OutOfRange> policy) const {
  return map_through_evolution(field, single_curve(), policy.value_or(out_of_range_));
}

ElementField Evolution::map_element_field(const ElementField& field, std::optional<OutOfRange> policy) const {
  return map_through_evolution(field, single_curve(), policy.value_or(out_of_range_));
}

std::string Evolution::display_text() const { return fmt::format("{}: {} {}", kName, size(), kItems); }

NodeField map_through_evolution(const NodeField& field, const SubEvolution& curve, OutOfRange policy) {
  return map_zones(field, [&](const SubNodeField& z) { return curve.map_sub_node_field(z, policy); });
}

ElementField map_through_evolution(const ElementField& field, const SubEvolution& curve, OutOfRange policy) {
  return map_zones(field, [&](const SubElementField& z) { return curve.map_sub_element_field(z, policy); });
}

}  // namespace quenlith::containers::evolution
