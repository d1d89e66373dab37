#pragma once
// The small value types of matrix blocks: degrees of freedom, the two orderings of a
// block's (node, variable) pairs, physics tags and operator kinds, with their texts.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/field/dof.hpp"
#include "containers/mesh/coords.hpp"

namespace quenlith::containers::matrix {

using mesh::NodeId;

// A degree of freedom: (node id, variable name). Rows are named by dual variables,
// columns by primal ones.
struct Dof {
  NodeId node = 0;
  std::string var;
  friend bool operator==(const Dof&, const Dof&) = default;
};

// The dump labels "(node,var)" of a list of degrees of freedom, in order.
std::vector<std::string> dof_labels(std::span<const Dof> dofs);
// The same list with interned names, the form node fields are read at.
field::DofList dof_list(std::span<const Dof> dofs);

// How a block's local index enumerates its (node position p, variable position v)
// pairs, with nn nodes and nv variables: VarsThenNodes i = v*nn + p, NodesThenVars
// i = p*nv + v. The values are those of the swap record.
enum class Ordering : std::uint8_t { VarsThenNodes = 0, NodesThenVars = 1 };
inline constexpr std::uint32_t kOrderingCount = 2;

// "nodes_then_vars" / "vars_then_nodes", compared byte for byte; nothing otherwise.
std::optional<Ordering> parse_ordering(std::string_view text) noexcept;
// "VarsThenNodes" / "NodesThenVars".
std::string_view ordering_debug_text(Ordering o) noexcept;

// Physics tags of the sub-model that produced a block, shared with the models.
enum class Physics : std::uint8_t { Mechanical = 0, Thermal = 1, Constraint = 2, Other = 3 };
inline constexpr std::uint32_t kPhysicsCount = 4;

// "mechanical", "thermal", "constraint", "other".
std::string_view physics_tag(Physics p) noexcept;
// The tag of the given text, matched exactly (case included); nothing otherwise.
std::optional<Physics> parse_physics(std::string_view text) noexcept;
// The tags of a list, order and repeats kept.
std::vector<std::string> physics_tag_names(std::span<const Physics> list);

// The operator a computed block stands for; indexes a model's pattern cache.
enum class OperatorKind : std::uint8_t { Stiffness = 0, Mass = 1, Geometric = 2, Tangent = 3 };
inline constexpr std::uint32_t kOperatorKindCount = 4;

}  // namespace quenlith::containers::matrix

template <>
struct std::hash<quenlith::containers::matrix::Dof> {
  std::size_t operator()(const quenlith::containers::matrix::Dof& d) const noexcept {
    return std::hash<std::string>{}(d.var) * 0x9E3779B97F4A7C15ull ^ d.node;
  }
};
