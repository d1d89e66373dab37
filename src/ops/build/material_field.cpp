#include "ops/build/material_field.hpp"

#include <optional>

#include "base/error.hpp"
#include "dump/debug_text.hpp"
#include "models/mod/domain.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::build {

namespace {
std::optional<double> first_value(std::span<const MaterialPair> pairs, std::string_view name) {
  for (const MaterialPair& p : pairs)
    if (p.name == name) return p.value;
  return std::nullopt;
}
}  // namespace

containers::element_field::SubElementField material_zone(
    const store::Handle<containers::finite_element_space::SubFiniteElementSpace>& space,
    std::span<const std::string> required, std::span<const std::string> optional,
    std::span<const MaterialPair> pairs) {
  std::vector<std::string> names;
  std::vector<double> values;
  for (const std::string& name : required) {
    const std::optional<double> v = first_value(pairs, name);
    if (!v)
      throw Error::message("material_field: missing required component '{}' (this physics expects: {})", name,
                           dump::debug_quoted_list(required));
    names.push_back(name);
    values.push_back(*v);
  }
  for (const std::string& name : optional)
    if (const std::optional<double> v = first_value(pairs, name)) {
      names.push_back(name);
      values.push_back(*v);
    }
  return containers::element_field::SubElementField::from_uniform_per_component(space, std::move(names), values);
}

containers::element_field::SubElementField build_material_field(const models::ModelKind& kind,
                                                                std::span<const MaterialPair> pairs) {
  const models::Behaviour* behaviour = kind.behaviour();
  if (!behaviour) throw Error::message("material_field: this sub-model does not need material data");
  const std::vector<std::string> required = models::to_string_vec(behaviour->material_components());
  const std::vector<std::string> optional = models::to_string_vec(behaviour->optional_materials());
  return material_zone(behaviour->material_fespace(), required, optional, pairs);
}

namespace {
// The zone of one sub-model, built under its read guard and stored once the guard is
// released; nothing for a kind without behaviour when `skip_without_behaviour`.
std::optional<ZoneHandle> stored_zone(const SubModelHandle& h, std::span<const MaterialPair> pairs,
                                      bool skip_without_behaviour) {
  std::optional<containers::element_field::SubElementField> zone;
  {
    const store::ReadGuard<containers::model::SubModel> sub = store::read(h);
    if (skip_without_behaviour && !sub->kind().behaviour()) return std::nullopt;
    zone = build_material_field(sub->kind(), pairs);
  }
  return store::insert(std::move(*zone));
}
}  // namespace

std::vector<ZoneHandle> material_field_for_model(std::span<const SubModelHandle> sub_models,
                                                 std::span<const MaterialPair> pairs) {
  std::vector<ZoneHandle> zones;
  for (const SubModelHandle& h : sub_models)
    if (std::optional<ZoneHandle> zone = stored_zone(h, pairs, true)) zones.push_back(std::move(*zone));
  return zones;
}

std::vector<ZoneHandle> material_field_per_sub_model_core(std::span<const SubModelHandle> sub_models,
                                                          std::span<const std::vector<MaterialPair>> lists) {
  QUENLITH_VERIFY(lists.size() == sub_models.size(),
                  "material_field_per_sub_model: {} list(s) supplied for {} sub-model(s)", lists.size(),
                  sub_models.size());
  std::vector<ZoneHandle> zones;
  for (std::size_t k = 0; k < sub_models.size(); ++k) {
    if (lists[k].empty()) continue;
    zones.push_back(std::move(*stored_zone(sub_models[k], lists[k], false)));
  }
  return zones;
}

}  // namespace quenlith::ops::build
