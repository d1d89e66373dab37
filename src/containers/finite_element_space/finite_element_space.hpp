#pragma once
// FiniteElementSpace: an ordered list of SubFiniteElementSpace handles (not stored:
// it lives in its Python object, or on the stack of an operation).
//
// Each handle owns one count. The list may be empty (a slice, an empty union) and may
// hold one handle twice only through `push_sub` (the Python add_sub path); the unions
// never repeat a handle. Two handles are the same subspace when their slot index and
// generation are equal. Subspaces over different Coords may share a list: only
// `mesh()` refuses them.
//
// Operations read subspaces under read guards taken one at a time.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "containers/finite_element_space/interpolation.hpp"
#include "containers/finite_element_space/quadrature.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/mesh.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::finite_element_space {

using ChoicePair = std::pair<Interpolation, QuadratureRule>;
using SubSpaceHandle = store::Handle<SubFiniteElementSpace>;

// The pair named by two texts, matched without regard to case: "unknown
// interpolation: {}" (checked first) or "unknown quadrature rule: {}", with the name
// as given.
ChoicePair choice_pair_from_names(std::string_view interpolation, std::string_view quadrature);
// n copies of `pair`.
std::vector<ChoicePair> repeat_choice_pair(const ChoicePair& pair, std::uint64_t n);

class FiniteElementSpace {
 public:
  FiniteElementSpace() = default;
  explicit FiniteElementSpace(std::vector<SubSpaceHandle> subs) noexcept : subs_(std::move(subs)) {}

  std::span<const SubSpaceHandle> subs() const noexcept { return subs_; }
  std::uint64_t size() const noexcept { return subs_.size(); }
  bool empty() const noexcept { return subs_.empty(); }

  // One new stored subspace per submesh of `mesh`, pair i for submesh i. Errors in
  // order: "FiniteElementSpace: mesh has no submesh", "FiniteElementSpace: {}
  // (interpolation, quadrature) pair(s) supplied for {} submesh(es)", then the first
  // failure of SubFiniteElementSpace::create (the subspaces made so far are released;
  // the submeshes they sealed stay sealed).
  static FiniteElementSpace from_choices(const mesh::Mesh& mesh, std::span<const ChoicePair> choices);
  // from_choices with (LAGRANGE1, GAUSS) for every submesh.
  static FiniteElementSpace lagrange1(const mesh::Mesh& mesh);

  // Appends a handle, even when it is already present.
  void push_sub(SubSpaceHandle sub) { subs_.push_back(std::move(sub)); }
  // Appends, in order, a clone of each handle not equal to one already present.
  void extend_unique(std::span<const SubSpaceHandle> subs);
  // a's distinct handles, then b's not yet present.
  static FiniteElementSpace union_(const FiniteElementSpace& a, const FiniteElementSpace& b);
  // This list's distinct handles, then `sub` unless present.
  FiniteElementSpace union_sub(const SubSpaceHandle& sub) const;

  // A clone of handle i; "index {} out of bounds (len={})".
  SubSpaceHandle sub_at(std::uint64_t i) const;
  // Clones of the handles at `indices`, in that order (repeats allowed); "index {}
  // out of bounds (len={})".
  FiniteElementSpace slice(std::span<const std::uint64_t> indices) const;

  // The Mesh of the distinct submeshes, by first appearance; "mismatched Coords" when
  // they do not share one Coords; guard errors. An empty space gives an empty Mesh.
  mesh::Mesh mesh() const;
  // A clone of subspace `index`'s handle and its cell count; "index {} out of bounds
  // (len={})", guard errors.
  std::pair<SubSpaceHandle, std::uint64_t> elements(std::uint64_t index) const;

  // Text forms; none fails.
  // "FiniteElementSpace: {} subspace(s)"
  std::string display_text() const;
  // FiniteElementSpace { count: N, items: [...] }, items resolved (their bare handle
  // text when unreadable).
  std::string debug_text() const;
  // The container frame around each subspace's dump text ("<{}>" for an unreadable
  // one).
  std::string dump_text(const dump::DumpOptions& options) const;

 private:
  bool contains(const SubSpaceHandle& sub) const noexcept;

  std::vector<SubSpaceHandle> subs_;
};

}  // namespace quenlith::containers::finite_element_space
