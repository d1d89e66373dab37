#pragma once
// DofList: an ordered list of degrees of freedom, each a (node id, variable name)
// pair. Names are interned: every entry holds the position of its name in `names`,
// in the order names were first added, so a list of a million entries over three
// variables stores three strings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"

namespace quenlith::containers::field {

struct DofList {
  std::vector<std::string> names;
  std::vector<mesh::NodeId> nodes;
  std::vector<std::uint32_t> vars;  // one per entry, a position in `names`

  std::size_t size() const noexcept { return nodes.size(); }
  void reserve(std::size_t n) {
    nodes.reserve(n);
    vars.reserve(n);
  }
  // Position of `name` in `names`, added at the end when new.
  std::uint32_t intern(std::string_view name) {
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return static_cast<std::uint32_t>(i);
    names.emplace_back(name);
    return static_cast<std::uint32_t>(names.size() - 1);
  }
  void push(mesh::NodeId node, std::string_view name) {
    const std::uint32_t v = intern(name);
    nodes.push_back(node);
    vars.push_back(v);
  }
};

}  // namespace quenlith::containers::field
