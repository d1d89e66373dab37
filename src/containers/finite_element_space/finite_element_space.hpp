#pragma once
// FiniteElementSpace: an ordered list of SubFiniteElementSpace handles (not stored:
// it lives in its Python object, or on the stack of an operation).
//
// The list (containers/sub_list.hpp) may be empty (a slice, an empty union) and may
// hold one handle twice only through `push_sub` (the Python add_sub path). Subspaces
// over different Coords may share a list: only `mesh()` refuses them.
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
#include "containers/sub_list.hpp"
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

class FiniteElementSpace : public SubList<FiniteElementSpace, SubFiniteElementSpace> {
 public:
  using SubList::SubList;
  static constexpr std::string_view kName = "FiniteElementSpace";
  static constexpr std::string_view kItems = "subspace(s)";

  // One new stored subspace per submesh of `mesh`, pair i for submesh i. Errors in
  // order: "FiniteElementSpace: mesh has no submesh", "FiniteElementSpace: {}
  // (interpolation, quadrature) pair(s) supplied for {} submesh(es)", then the first
  // failure of SubFiniteElementSpace::create (the subspaces made so far are released;
  // the submeshes they sealed stay sealed).
  static FiniteElementSpace from_choices(const mesh::Mesh& mesh, std::span<const ChoicePair> choices);
  // from_choices with (LAGRANGE1, GAUSS) for every submesh.
  static FiniteElementSpace lagrange1(const mesh::Mesh& mesh);

  // The Mesh of the distinct submeshes, by first appearance; "mismatched Coords" when
  // they do not share one Coords; guard errors. An empty space gives an empty Mesh.
  mesh::Mesh mesh() const;
  // A clone of subspace `index`'s handle and its cell count; "index {} out of bounds
  // (len={})", guard errors.
  std::pair<SubSpaceHandle, std::uint64_t> elements(std::uint64_t index) const;

  // "FiniteElementSpace: {} subspace(s)". The debug and dump texts are the list's
  // (an unreadable subspace shows as its bare handle text, or "<{}>" in the dump).
  std::string display_text() const;
};

}  // namespace quenlith::containers::finite_element_space
