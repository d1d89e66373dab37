#pragma once
// Component names of field zones, shared by node and element fields.
//
// Names are plain byte strings compared exactly; a lookup takes the first match in
// the zone's own order. A zone carries at least one name and no name twice.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quenlith::containers::field {

// Refuses an empty list with "{type_name} requires at least one component" and a
// repeated name with "duplicate component name: {}", naming the first name (in list
// order) that a later one repeats.
void check_component_names(std::span<const std::string> names, std::string_view type_name);

// Position of the first name equal to `name`.
std::optional<std::size_t> find_component(std::span<const std::string> names, std::string_view name) noexcept;

// Appends to `into` every name of `names` it does not hold yet, in order.
void add_components(std::vector<std::string>& into, std::span<const std::string> names);

}  // namespace quenlith::containers::field
