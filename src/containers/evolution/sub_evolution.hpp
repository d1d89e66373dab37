#pragma once
// SubEvolution: one tabulated curve (a stored object): values at strictly
// increasing abscissas, interpolated linearly, with a policy for abscissas outside
// the tabulated range and two optional labels.
//
// Stored fields (also the order of the swap record):
//   abscissas_      at least one, strictly increasing, none NaN
//   values_         one EvolutionValue per abscissa, all of one kind: numbers,
//                   node-field zones or element-field zones
//   out_of_range_   the curve's own policy
//   abscissa_type_  a label; for a scalar curve used as a transfer function, the
//                   name of the field component it looks up
//   ordinate_type_  a label of scalar curves only; the output component's name
//
// A zone inside a sample is a private copy held by value, never a stored object:
// it holds one count of its support, so a curve keeps its supports alive, and
// interpolating between two samples reads the curve alone (no lock on any field).
// The zones of one curve share one support and one set of component names (their
// order may differ from sample to sample).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "dump/dump_options.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::evolution {

using node_field::SubNodeField;
using element_field::SubElementField;

// What an interpolation does outside [first, last] abscissa.
enum class OutOfRange : std::uint8_t { Error = 0, Clamp = 1, Extrapolate = 2 };

// "error", "clamp" or "extrapolate" (exact bytes); "unknown out_of_range policy
// '{}' (expected 'error', 'clamp' or 'extrapolate')" otherwise.
OutOfRange parse_out_of_range(std::string_view name);
std::string_view out_of_range_name(OutOfRange policy) noexcept;

// The value of one sample. The variant index is the kind: 0 "scalar", 1 "node",
// 2 "element".
using EvolutionValue = std::variant<double, SubNodeField, SubElementField>;

std::string_view kind_name(const EvolutionValue& value) noexcept;
// A deep copy (a zone's support handle cloned, its lists copied).
EvolutionValue clone_value(const EvolutionValue& value);
// (1 − t)·y0 + t·y1: numbers as t·y1 + (1 − t)·y0; zones value by value, y1's
// values paired with y0's by component name, the result on y0's support in y0's
// component order. "evolution: cannot interpolate between values of different
// kinds", "check_same_components: operands are not on the same support",
// "check_same_components: mismatched components ({} vs {})".
EvolutionValue lerp_values(const EvolutionValue& y0, const EvolutionValue& y1, double t);

struct Sample {
  double abscissa;
  EvolutionValue value;
};

class SubEvolution {
 public:
  SubEvolution() = default;
  SubEvolution(SubEvolution&&) noexcept = default;
  SubEvolution& operator=(SubEvolution&&) noexcept = default;
  SubEvolution(const SubEvolution&) = delete;
  SubEvolution& operator=(const SubEvolution&) = delete;

  // Checks, in order: "SubEvolution requires at least one sample", "SubEvolution:
  // NaN abscissa"; then sorts by abscissa and checks "SubEvolution: duplicate
  // abscissa {}", "SubEvolution: mixed value kinds ({} and {})", "SubEvolution:
  // node values must share the same support and components" (element: the same
  // with "element values"). Both labels absent.
  static SubEvolution create(std::vector<Sample> samples, OutOfRange policy);
  // A deep copy: abscissas, values (zones copied), policy and labels.
  SubEvolution clone() const;

  std::span<const double> abscissas() const noexcept { return abscissas_; }
  std::span<const EvolutionValue> values() const noexcept { return values_; }
  std::uint64_t sample_count() const noexcept { return abscissas_.size(); }
  OutOfRange out_of_range() const noexcept { return out_of_range_; }
  // The kind index of the first value (0 for a curve without samples, which only a
  // default-constructed record is).
  std::size_t kind() const noexcept { return values_.empty() ? 0 : values_.front().index(); }
  std::string_view kind_name() const noexcept;
  bool is_scalar() const noexcept { return kind() == 0; }

  const std::optional<std::string>& abscissa_type() const noexcept { return abscissa_type_; }
  const std::optional<std::string>& ordinate_type() const noexcept { return ordinate_type_; }
  void set_abscissa_type(std::optional<std::string> label) { abscissa_type_ = std::move(label); }
  // "ordinate type applies to scalar evolutions only (this one is {})" for a label
  // on a zone curve (the curve unchanged); an absent label clears it on any curve.
  void check_ordinate_type(std::optional<std::string> label);

  // The value at x under `policy` (the curve's own when absent): "non-NaN
  // abscissas" for NaN; outside the range "evolution: abscissa {} is outside the
  // tabulated range [{}, {}]" (error), the end sample (clamp) or the end segment
  // continued (extrapolate, the one sample of a one-sample curve). A tabulated
  // abscissa gives a copy of its sample.
  EvolutionValue interpolate(std::optional<OutOfRange> policy, double x) const;
  // The same for a scalar curve, as a number: "evolution: a field can only be
  // mapped through a scalar-valued evolution" otherwise.
  double map_value(std::optional<OutOfRange> policy, double x) const;
  // The curve as a transfer function on a zone: every entry's value of the
  // component named abscissa_type mapped through map_value, into a new zone on the
  // same support with the one component ordinate_type (else "value"). Errors in
  // order: not scalar (as map_value), "evolution: set the abscissa type to map a
  // field (it selects which field component to look up)", "evolution: the field
  // has no component '{}' matching the abscissa type", then the first entry's error.
  SubNodeField map_sub_node_field(const SubNodeField& zone, std::optional<OutOfRange> policy) const;
  SubElementField map_sub_element_field(const SubElementField& zone, std::optional<OutOfRange> policy) const;

  // "SubEvolution: {} sample(s), {} value(s), out_of_range={}";
  // SubEvolution { samples: N, kind: "scalar", out_of_range: "clamp" }; the display
  // text, a line feed and the table abscissa | value.
  std::string display_text() const;
  std::string debug_text() const;
  std::string dump_text(const dump::DumpOptions& options) const;

  void encode(store::RecordWriter& w) const;
  // Also refuses a record without samples or whose abscissa and value counts
  // differ: interpolation would read past its values.
  static SubEvolution decode(store::RecordReader& r);

 private:
  // Where x falls: one sample to copy, or two to blend with weight t on the second.
  struct Bracket {
    std::size_t lower;
    std::size_t upper;
    double t;
    bool exact() const noexcept { return lower == upper; }
  };
  Bracket locate(std::optional<OutOfRange> policy, double x) const;
  // The mapped value of every entry of a zone (rows of `ncomp` values), in order.
  template <class Zone>
  std::vector<double> map_entries(const Zone& zone, std::optional<OutOfRange> policy) const;
  std::string output_component() const;

  std::vector<double> abscissas_;
  std::vector<EvolutionValue> values_;
  OutOfRange out_of_range_ = OutOfRange::Error;
  std::optional<std::string> abscissa_type_;
  std::optional<std::string> ordinate_type_;
};

}  // namespace quenlith::containers::evolution

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::evolution::SubEvolution> {
  static constexpr std::string_view type_path = store::type_path::sub_evolution;
  static constexpr bool writable = true;
  static void encode(const containers::evolution::SubEvolution& c, store::RecordWriter& w) { c.encode(w); }
  static containers::evolution::SubEvolution decode(store::RecordReader& r) {
    return containers::evolution::SubEvolution::decode(r);
  }
  static void debug_text(const containers::evolution::SubEvolution& c, bool /*alternate*/, std::string& out) {
    out += c.debug_text();
  }
};
