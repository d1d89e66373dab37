#include "containers/field/components.hpp"

#include <unordered_set>

#include "base/error.hpp"
#include "dump/debug_text.hpp"

namespace quenlith::containers::field {

void check_component_names(std::span<const std::string> names, std::string_view type_name) {
  QUENLITH_VERIFY(!names.empty(), "{} requires at least one component", type_name);
  // Scanning from the end, the last hit is the first name that a later one repeats:
  // the name a pairwise scan (first name first) would report, in linear time.
  std::unordered_set<std::string_view> later;
  std::optional<std::size_t> first_repeated;
  for (std::size_t i = names.size(); i-- > 0;)
    if (!later.insert(names[i]).second) first_repeated = i;
  if (first_repeated) throw Error::message("duplicate component name: {}", names[*first_repeated]);
}

std::optional<std::size_t> find_component(std::span<const std::string> names, std::string_view name) noexcept {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return i;
  return std::nullopt;
}

void add_components(std::vector<std::string>& into, std::span<const std::string> names) {
  for (const std::string& n : names)
    if (!find_component(into, n)) into.push_back(n);
}

std::vector<std::size_t> selected_components(std::span<const std::string> names, std::span<const std::string> wanted) {
  std::vector<std::size_t> kept;
  for (std::size_t c = 0; c < names.size(); ++c)
    if (find_component(wanted, names[c])) kept.push_back(c);
  QUENLITH_VERIFY(!kept.empty(), "select_components: this sub-field carries none of {}",
                  dump::debug_quoted_list(wanted));
  return kept;
}

std::size_t count_listed(std::span<const std::string> names, std::span<const std::string> wanted) noexcept {
  std::size_t n = 0;
  for (const std::string& c : names) n += find_component(wanted, c) ? 1 : 0;
  return n;
}

}  // namespace quenlith::containers::field
