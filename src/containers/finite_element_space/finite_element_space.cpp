#include "containers/finite_element_space/finite_element_space.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::finite_element_space {

using mesh::SubMesh;
using store::Handle;

ChoicePair choice_pair_from_names(std::string_view interpolation, std::string_view quadrature) {
  const std::optional<Interpolation> i = interpolation_from_name(interpolation);
  QUENLITH_VERIFY(i.has_value(), "unknown interpolation: {}", interpolation);
  const std::optional<QuadratureRule> q = quadrature_rule_from_name(quadrature);
  QUENLITH_VERIFY(q.has_value(), "unknown quadrature rule: {}", quadrature);
  return {*i, *q};
}

std::vector<ChoicePair> repeat_choice_pair(const ChoicePair& pair, std::uint64_t n) {
  return std::vector<ChoicePair>(n, pair);
}

FiniteElementSpace FiniteElementSpace::from_choices(const mesh::Mesh& mesh, std::span<const ChoicePair> choices) {
  QUENLITH_VERIFY(!mesh.empty(), "FiniteElementSpace: mesh has no submesh");
  QUENLITH_VERIFY(choices.size() == mesh.size(),
                  "FiniteElementSpace: {} (interpolation, quadrature) pair(s) supplied for {} submesh(es)",
                  choices.size(), mesh.size());
  // On a failure the handles gathered so far go with `out`: those subspaces are freed.
  FiniteElementSpace out;
  out.mutable_subs().reserve(mesh.size());
  for (std::size_t i = 0; i < mesh.size(); ++i) {
    out.mutable_subs().push_back(store::insert(
        SubFiniteElementSpace::create(mesh.subs()[i], choices[i].first, choices[i].second)));
  }
  return out;
}

FiniteElementSpace FiniteElementSpace::lagrange1(const mesh::Mesh& mesh) {
  const std::vector<ChoicePair> pairs =
      repeat_choice_pair({Interpolation::LAGRANGE1, QuadratureRule::GAUSS}, mesh.size());
  return from_choices(mesh, pairs);
}

mesh::Mesh FiniteElementSpace::mesh() const {
  mesh::Mesh out;
  std::vector<Handle<SubMesh>> seen;
  for (const SubSpaceHandle& h : subs()) {
    Handle<SubMesh> sub;
    {
      store::ReadGuard<SubFiniteElementSpace> guard = store::read(h);
      sub = guard->submesh();
    }
    if (std::find(seen.begin(), seen.end(), sub) != seen.end()) continue;
    seen.push_back(sub);
    out.push_sub(std::move(sub));
  }
  return out;
}

std::pair<SubSpaceHandle, std::uint64_t> FiniteElementSpace::elements(std::uint64_t index) const {
  SubSpaceHandle h = sub_at(index);
  std::uint64_t n;
  {
    store::ReadGuard<SubFiniteElementSpace> guard = store::read(h);
    n = guard->cell_count();
  }
  return {std::move(h), n};
}

std::string FiniteElementSpace::display_text() const {
  return fmt::format("FiniteElementSpace: {} subspace(s)", size());
}

}  // namespace quenlith::containers::finite_element_space
