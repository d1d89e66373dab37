#pragma once
// ElementField: an ordered list of SubElementField handles (not stored: it lives in
// its Python object or on a caller's stack).
//
// The list (containers/sub_list.hpp) may be empty, may hold zones on different
// subspaces (of different meshes too), several zones on one subspace, and one
// handle twice (push_sub checks nothing). The unions and slices refuse a list in
// which two zones on one support carry a component of the same name (the
// uniqueness rule), so the same handle listed twice is refused by them too.
//
// Every operation reads zones one at a time, each guard released before the next.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/field/value_band.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/sub_list.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::element_field {

class ElementField : public SubList<ElementField, SubElementField> {
 public:
  using SubList::SubList;
  static constexpr std::string_view kName = "ElementField";
  static constexpr std::string_view kItems = "subfield(s)";

  // One zone of zeros per subspace, in the space's order, each with the names.
  // "ElementField: FE space has no subspace", then the name errors of
  // SubElementField::create, then the first error of making a zone (the zones made
  // so far are released).
  static ElementField create(const finite_element_space::FiniteElementSpace& space,
                             const std::vector<std::string>& components);
  // Zone i on subspace i with list i: "ElementField: FE space has no subspace",
  // "ElementField: {} component list(s) supplied for {} subspace(s)", then per zone.
  static ElementField with_components_per_subspace(const finite_element_space::FiniteElementSpace& space,
                                                   const std::vector<std::vector<std::string>>& components);

  // The list operations that select or join zones, each followed by the
  // uniqueness rule. The zones at `indices`, repeats kept.
  ElementField slice(std::span<const std::uint64_t> indices) const;
  // a's zones, then b's not already held.
  static ElementField union_(const ElementField& a, const ElementField& b);
  // a, then b unless it is a.
  static ElementField union_(const H& a, const H& b);
  // This field's zones, then `zone` unless held.
  ElementField union_sub(const H& zone) const;

  // The uniqueness rule: "ElementField: component {} is carried by two zones on the
  // same support (slot {}, generation {}). Component fields must be unique per
  // support; call consolidate_element to fuse zones that legitimately share a
  // support." at the first (support, name) met twice, zone order then name order.
  static void check_unique_components(std::span<const H> zones);

  // As NodeField::filter_components.
  ElementField filter_components(std::span<const std::string> names) const;
  // The union of the zones' names, zone order then name order.
  std::vector<std::string> components() const;

  // Clones of the zones on `support`, in field order (maybe none).
  std::vector<H> subs_for_fespace(const SubSpaceHandle& support) const;
  // The one zone on `support`: "no SubElementField in this ElementField matches the
  // SubFiniteElementSpace at slot {} (generation {})", or for n ≥ 2 "{} SubElementFields
  // live on the SubFiniteElementSpace at slot {} (generation {}); sub_for_fespace
  // needs a unique zone. Use subs_for_fespace, or consolidate_element to fuse the zones."
  H sub_for_fespace(const SubSpaceHandle& support) const;
  // The one zone on `support` carrying every name of `required` (more is fine; an
  // empty list keeps every zone on the support): "no SubElementField on the
  // SubFiniteElementSpace at slot {} (generation {}) carries all of {} — supply it via
  // material_field", or for n ≥ 2 "{} SubElementFields on the SubFiniteElementSpace at
  // slot {} (generation {}) each carry all of {}; the zone is ambiguous — fuse them
  // with consolidate_element or narrow the components".
  H sub_for_fespace_components(const SubSpaceHandle& support, std::span<const std::string> required) const;

  // "ElementField: {} subfield(s)"; never reads a zone. The debug and dump texts are
  // the list's.
  std::string display_text() const;
};

}  // namespace quenlith::containers::element_field
