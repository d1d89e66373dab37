#include "containers/matrix/dof.hpp"

#include <fmt/format.h>

namespace quenlith::containers::matrix {

std::vector<std::string> dof_labels(std::span<const Dof> dofs) {
  std::vector<std::string> out;
  out.reserve(dofs.size());
  for (const Dof& d : dofs) out.push_back(fmt::format("({},{})", d.node, d.var));
  return out;
}

field::DofList dof_list(std::span<const Dof> dofs) {
  field::DofList out;
  out.reserve(dofs.size());
  for (const Dof& d : dofs) out.push(d.node, d.var);
  return out;
}

std::optional<Ordering> parse_ordering(std::string_view text) noexcept {
  if (text == "nodes_then_vars") return Ordering::NodesThenVars;
  if (text == "vars_then_nodes") return Ordering::VarsThenNodes;
  return std::nullopt;
}

std::string_view ordering_debug_text(Ordering o) noexcept {
  return o == Ordering::VarsThenNodes ? "VarsThenNodes" : "NodesThenVars";
}

namespace {
constexpr std::string_view kPhysicsTags[kPhysicsCount] = {"mechanical", "thermal", "constraint", "other"};
}

std::string_view physics_tag(Physics p) noexcept { return kPhysicsTags[static_cast<std::size_t>(p) % kPhysicsCount]; }

std::optional<Physics> parse_physics(std::string_view text) noexcept {
  for (std::uint32_t i = 0; i < kPhysicsCount; ++i)
    if (text == kPhysicsTags[i]) return static_cast<Physics>(i);
  return std::nullopt;
}

std::vector<std::string> physics_tag_names(std::span<const Physics> list) {
  std::vector<std::string> out;
  out.reserve(list.size());
  for (Physics p : list) out.emplace_back(physics_tag(p));
  return out;
}

}  // namespace quenlith::containers::matrix
