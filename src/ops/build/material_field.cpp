#include "ops/build/material_field.hpp"

#include <optional>

#include "base/error.hpp"
#include "dump/debug_text.hpp"

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

}  // namespace quenlith::ops::build
