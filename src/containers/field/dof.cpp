#include "containers/field/dof.hpp"

#include <algorithm>

namespace quenlith::containers::field {

std::uint32_t DofList::intern(std::string_view name) {
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == name) return static_cast<std::uint32_t>(i);
  names_.emplace_back(name);
  return static_cast<std::uint32_t>(names_.size() - 1);
}

void DofList::push_var(mesh::NodeId node, std::uint32_t var) {
  const std::size_t at = nodes_.size();
  nodes_.push_back(node);
  vars_.push_back(var);
  if (!shape_ok_) return;
  if (at == 0) {
    pattern_.push_back(var);
    run_nodes_.push_back(node);
    return;
  }
  if (!pattern_fixed_) {
    // The first run grows while its node stays and its names are new.
    if (node == run_nodes_.back() && std::find(pattern_.begin(), pattern_.end(), var) == pattern_.end()) {
      pattern_.push_back(var);
      return;
    }
    pattern_fixed_ = true;
  }
  const std::size_t j = at % pattern_.size();
  if (j == 0) {
    shape_ok_ = node != run_nodes_.back() && var == pattern_[0];
    if (shape_ok_) run_nodes_.push_back(node);
  } else {
    shape_ok_ = node == run_nodes_.back() && var == pattern_[j];
  }
}

}  // namespace quenlith::containers::field
