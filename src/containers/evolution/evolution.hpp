#pragma once
// Evolution: an ordered list of SubEvolution handles of one kind (not stored: it
// lives in its Python object or on a caller's stack) with its own out-of-range
// policy, the default of its interpolations.
//
// The builders from whole fields make one curve per zone of the first step's field;
// every list operation (union, slice) gives a new evolution whose policy is "error",
// whatever its curves store. The list may be empty (a slice) and may hold one
// handle twice (push_sub does not look for duplicates).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/evolution/sub_evolution.hpp"
#include "containers/node_field/node_field.hpp"
#include "containers/sub_list.hpp"

namespace quenlith::containers::evolution {

using element_field::ElementField;
using node_field::NodeField;

class Evolution : public SubList<Evolution, SubEvolution> {
 public:
  using SubList::SubList;
  Evolution() = default;
  static constexpr std::string_view kName = "Evolution";
  static constexpr std::string_view kItems = "sub-evolution(s)";

  // The kind rule: "Evolution: cannot mix {} and {} sub-evolutions" (the list's kind
  // first). One curve read at a time.
  static void check_joins(const H& first, const H& incoming);

  OutOfRange out_of_range() const noexcept { return out_of_range_; }

  // One stored scalar curve of the steps (SubEvolution::create's errors).
  static Evolution from_scalar_steps(std::span<const std::pair<double, double>> steps, OutOfRange policy);
  // One stored curve per zone of the first step's field, in its order. The j-th zone
  // on a support pairs, at every step, with that step's j-th zone on the same
  // support; zones of later steps on other supports are ignored. Errors:
  // "Evolution::from_node_fields: no sample", "...: the first field has no zone",
  // "...: a step is missing a zone present in the first step" (from_element_fields
  // alike), then the curve's own.
  static Evolution from_node_fields(std::span<const std::pair<double, const NodeField*>> steps, OutOfRange policy);
  static Evolution from_element_fields(std::span<const std::pair<double, const ElementField*>> steps,
                                       OutOfRange policy);

  // Every curve's label, one write guard at a time; the first failure stops (the
  // curves before it keep the new label).
  void set_abscissa_type(const std::optional<std::string>& label) const;
  void set_ordinate_type(const std::optional<std::string>& label) const;
  // The first curve's label; absent for an empty evolution.
  std::optional<std::string> abscissa_type() const;
  std::optional<std::string> ordinate_type() const;

  // Every curve at x, under `policy` or the evolution's own: the numbers, or a field
  // of new stored zones, in curve order. "Evolution: cannot interpolate an empty
  // evolution", "Evolution: inconsistent value kinds across sub-evolutions",
  // "mismatched Coords" (node zones on two Coords).
  using Interpolated = std::variant<std::vector<double>, NodeField, ElementField>;
  Interpolated interpolate(std::optional<OutOfRange> policy, double x) const;

  // A copy of the only curve, which must be scalar: "evolution: mapping a field needs
  // a single-curve evolution, but this one has {} curve(s)", then "evolution: a field
  // can only be mapped through a scalar-valued evolution".
  SubEvolution single_curve() const;
  // `field` mapped through the single curve, zone by zone (one task per zone), under
  // `policy` or the evolution's own.
  NodeField map_node_field(const NodeField& field, std::optional<OutOfRange> policy) const;
  ElementField map_element_field(const ElementField& field, std::optional<OutOfRange> policy) const;

  // "Evolution: {} sub-evolution(s)"; never reads a curve.
  std::string display_text() const;

 private:
  Evolution(std::vector<H> subs, OutOfRange policy) : SubList(std::move(subs)), out_of_range_(policy) {}
  template <class Field>
  static Evolution from_fields(std::string_view who, std::span<const std::pair<double, const Field*>> steps,
                               OutOfRange policy);

  OutOfRange out_of_range_ = OutOfRange::Error;
};

// Each zone of `field` mapped through `curve` (a private copy) under `policy`, one
// task per zone, each under its own zone's read guard; the new zones stored in zone
// order.
NodeField map_through_evolution(const NodeField& field, const SubEvolution& curve, OutOfRange policy);
ElementField map_through_evolution(const ElementField& field, const SubEvolution& curve, OutOfRange policy);

}  // namespace quenlith::containers::evolution
