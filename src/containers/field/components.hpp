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

// The components of a zone (`names`, values in rows of names.size()) that `wanted`
// lists, in the zone's order, with their values in rows of their own. "select_components:
// this sub-field carries none of {}" (the list as given) when none is listed.
// The positions kept, in the zone's order (the error above when there is none).
std::vector<std::size_t> selected_components(std::span<const std::string> names, std::span<const std::string> wanted);

template <class ValueArray>
struct Selection {
  std::vector<std::string> names;
  ValueArray values;
};
template <class ValueArray>
Selection<ValueArray> select_components(std::span<const std::string> names, std::span<const double> values,
                                        std::span<const std::string> wanted) {
  const std::vector<std::size_t> kept = selected_components(names, wanted);
  Selection<ValueArray> out;
  out.names.reserve(kept.size());
  for (std::size_t c : kept) out.names.push_back(names[c]);
  const std::size_t nc = names.size(), nk = kept.size();
  const std::size_t rows = values.size() / nc;
  out.values.resize(rows * nk);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t j = 0; j < nk; ++j) out.values[r * nk + j] = values[r * nc + kept[j]];
  return out;
}

// How many of `names` `wanted` lists.
std::size_t count_listed(std::span<const std::string> names, std::span<const std::string> wanted) noexcept;

}  // namespace quenlith::containers::field
