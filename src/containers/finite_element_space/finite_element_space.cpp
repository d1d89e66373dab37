#include "containers/finite_element_space/finite_element_space.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "base/error.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
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
  out.subs_.reserve(mesh.size());
  for (std::size_t i = 0; i < mesh.size(); ++i) {
    out.subs_.push_back(store::insert(
        SubFiniteElementSpace::create(mesh.subs()[i], choices[i].first, choices[i].second)));
  }
  return out;
}

FiniteElementSpace FiniteElementSpace::lagrange1(const mesh::Mesh& mesh) {
  const std::vector<ChoicePair> pairs =
      repeat_choice_pair({Interpolation::LAGRANGE1, QuadratureRule::GAUSS}, mesh.size());
  return from_choices(mesh, pairs);
}

bool FiniteElementSpace::contains(const SubSpaceHandle& sub) const noexcept {
  return std::any_of(subs_.begin(), subs_.end(), [&](const SubSpaceHandle& h) { return h == sub; });
}

void FiniteElementSpace::extend_unique(std::span<const SubSpaceHandle> subs) {
  for (const SubSpaceHandle& h : subs)
    if (!contains(h)) subs_.push_back(h);
}

FiniteElementSpace FiniteElementSpace::union_(const FiniteElementSpace& a, const FiniteElementSpace& b) {
  FiniteElementSpace out;
  out.extend_unique(a.subs_);
  out.extend_unique(b.subs_);
  return out;
}

FiniteElementSpace FiniteElementSpace::union_sub(const SubSpaceHandle& sub) const {
  FiniteElementSpace out;
  out.extend_unique(subs_);
  out.extend_unique(std::span<const SubSpaceHandle>(&sub, 1));
  return out;
}

SubSpaceHandle FiniteElementSpace::sub_at(std::uint64_t i) const {
  QUENLITH_VERIFY(i < subs_.size(), "index {} out of bounds (len={})", i, subs_.size());
  return subs_[i];
}

FiniteElementSpace FiniteElementSpace::slice(std::span<const std::uint64_t> indices) const {
  FiniteElementSpace out;
  out.subs_.reserve(indices.size());
  for (std::uint64_t i : indices) out.subs_.push_back(sub_at(i));
  return out;
}

mesh::Mesh FiniteElementSpace::mesh() const {
  mesh::Mesh out;
  std::vector<Handle<SubMesh>> seen;
  for (const SubSpaceHandle& h : subs_) {
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
  return fmt::format("FiniteElementSpace: {} subspace(s)", subs_.size());
}

std::string FiniteElementSpace::debug_text() const {
  std::vector<std::string> items;
  items.reserve(subs_.size());
  for (const SubSpaceHandle& h : subs_) {
    std::string text;
    h.fmt_resolved(text, false);
    items.push_back(std::move(text));
  }
  return dump::debug_container("FiniteElementSpace", items);
}

std::string FiniteElementSpace::dump_text(const dump::DumpOptions& options) const {
  return dump::dump_container(display_text(), subs_.size(), [&](std::size_t i) {
    store::ReadGuard<SubFiniteElementSpace> guard = store::read(subs_[i]);
    return guard->dump_text(options);
  });
}

}  // namespace quenlith::containers::finite_element_space
