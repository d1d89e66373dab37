#pragma once
// DofList: an ordered list of degrees of freedom, each a (node id, variable name)
// pair. Names are interned: every entry holds the position of its name in
// `names()`, in the order names were first added, so a list of a million entries
// over three variables stores three strings.
//
// The list also knows, as it grows, whether it is node-major: made of runs, one per
// node, each run listing the same names in the same order (the pattern), no two
// consecutive runs on one node. The solvers' lists have that shape; readers and
// writers of fields then move whole runs at once.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"

namespace quenlith::containers::field {

class DofList {
 public:
  std::size_t size() const noexcept { return nodes_.size(); }
  bool empty() const noexcept { return nodes_.empty(); }
  void reserve(std::size_t n) {
    nodes_.reserve(n);
    vars_.reserve(n);
  }

  std::span<const std::string> names() const noexcept { return names_; }
  std::span<const mesh::NodeId> nodes() const noexcept { return nodes_; }
  // One per entry, a position in names().
  std::span<const std::uint32_t> vars() const noexcept { return vars_; }

  // Position of `name` in names(), added at the end when new.
  std::uint32_t intern(std::string_view name);
  void push(mesh::NodeId node, std::string_view name) { push_var(node, intern(name)); }
  // `var` must be a position in names().
  void push_var(mesh::NodeId node, std::uint32_t var);

  // Whether the list is non-empty and node-major; then pattern() holds the names of
  // every run (positions in names(), no repeat) and run_nodes() the node of each run.
  bool node_major() const noexcept {
    return !nodes_.empty() && shape_ok_ && nodes_.size() == run_nodes_.size() * pattern_.size();
  }
  std::span<const std::uint32_t> pattern() const noexcept { return pattern_; }
  std::span<const mesh::NodeId> run_nodes() const noexcept { return run_nodes_; }

 private:
  std::vector<std::string> names_;
  std::vector<mesh::NodeId> nodes_;
  std::vector<std::uint32_t> vars_;
  // The node-major shape, followed entry by entry.
  bool shape_ok_ = true;
  bool pattern_fixed_ = false;
  std::vector<std::uint32_t> pattern_;
  std::vector<mesh::NodeId> run_nodes_;
};

}  // namespace quenlith::containers::field
