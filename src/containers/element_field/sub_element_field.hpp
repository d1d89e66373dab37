#pragma once
// SubElementField: one zone of an element field (a stored object): values per
// (cell, Gauss point, component) on one finite-element subspace, its support.
//
// Stored fields (also the order of the swap record):
//   support_     counted handle of the SubFiniteElementSpace
//   components_  at least one name, no name twice (exact byte comparison)
//   n_cells_     cell count of the support's submesh when the zone was made
//   n_gauss_     Gauss points per cell of the support's quadrature
//   values_      n_cells × n_gauss × ncomp values: component c at Gauss point g of
//                cell e is at (e × n_gauss + g) × ncomp + c
//
// A subspace seals its submesh and never changes, so n_cells and n_gauss stay those
// of the support for the zone's whole life. Two zones are on one support when their
// support handles are equal (slot index and generation); two subspaces built on one
// submesh are different supports.
//
// Accessors take no lock: the caller holds the zone's guard (read for reads, write
// for writes). Lock order: a zone's guard before its support's.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/field/values.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::element_field {

using SubSpaceHandle = store::Handle<finite_element_space::SubFiniteElementSpace>;

class SubElementField {
 public:
  SubElementField() = default;
  SubElementField(SubElementField&&) noexcept = default;
  SubElementField& operator=(SubElementField&&) noexcept = default;
  SubElementField(const SubElementField&) = delete;
  SubElementField& operator=(const SubElementField&) = delete;

  // A zone of zeros. Errors, in order: "SubElementField requires at least one
  // component", "duplicate component name: {}", the subspace's guard errors, the
  // errors of reading its cell count. Seals nothing.
  static SubElementField create(SubSpaceHandle support, std::vector<std::string> components);
  // Every point holds value i for component i. "from_uniform_per_component: {}
  // values supplied for {} components" (values, names) first, then as create. This
  // is the one way to fill uniform zones (material fields use it).
  static SubElementField from_uniform_per_component(SubSpaceHandle support, std::vector<std::string> components,
                                                    std::span<const double> values);
  // A deep copy: a clone of the support handle, copies of names and values.
  SubElementField clone() const;
  // A new zone on the same support with the components `names` lists, in this zone's
  // order: "select_components: this sub-field carries none of {}".
  SubElementField select_components(std::span<const std::string> names) const;
  // A new zone on the same support, same shape and names, with `values` in place of
  // this zone's (as many of them).
  using ValueArray = field::Values;
  SubElementField with_values(ValueArray values) const;
  // A new zone on the same support and shape with other names and their values
  // (cells × Gauss points × names.size() of them); the names are the caller's to check.
  SubElementField with_components(std::vector<std::string> names, ValueArray values) const;

  const SubSpaceHandle& support() const noexcept { return support_; }
  std::span<const std::string> components() const noexcept { return components_; }
  std::span<const double> values() const noexcept { return values_; }
  std::span<double> values_mut() noexcept { return values_; }
  std::uint64_t cell_count() const noexcept { return n_cells_; }
  std::uint64_t gauss_count() const noexcept { return n_gauss_; }
  std::uint64_t component_count() const noexcept { return components_.size(); }

  // Checks the cell, then the Gauss point, then the component index:
  //   "SubElementField: cell index {} ≥ cell_count {}"
  //   "SubElementField: gauss index {} ≥ gauss_count {}"
  //   "SubElementField: component index {} ≥ component_count {}"
  std::uint64_t flat_index(std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp) const;
  double get(std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp) const;
  void set(std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp, double value);
  // By name, the name first ("unknown component: {}"), then the cell and Gauss
  // checks. The kernels' inner loop: a scan of the short name list, no allocation.
  double value(std::uint64_t cell, std::uint64_t gauss, std::string_view component) const;
  void set_value(std::uint64_t cell, std::uint64_t gauss, std::string_view component, double value);
  // The values at one point, in component order; the cell and Gauss checks.
  std::vector<double> point_values(std::uint64_t cell, std::uint64_t gauss) const;
  // The component at every Gauss point of one cell: the cell check, then the name.
  void set_cell_uniform(std::uint64_t cell, std::string_view component, double value);
  // The component at every point of the zone (a parallel row operation).
  void set_uniform(std::string_view component, double value);
  std::optional<std::uint64_t> component_index(std::string_view name) const noexcept;

  // "SubElementField: a zone of {} cell(s) × {} gauss does not fit its subspace of {}
  // cell(s) × {} gauss": for callers that walk the subspace's cells and points and
  // read this zone's values by position.
  void check_fits(const finite_element_space::SubFiniteElementSpace& support) const;

  // "SubElementField: {} cell(s) × {} gauss × {} component(s) [{}]";
  // SubElementField { support: Handle<...>{ idx: .., gen: .. }, cell_count: N,
  // gauss_count: G, components: ["E"] }; the display text, a line feed and the table
  // cell | gauss | components, one row per (cell, Gauss point).
  std::string display_text() const;
  std::string debug_text() const;
  std::string dump_text(const dump::DumpOptions& options) const;

  void encode(store::RecordWriter& w) const;
  // Also refuses a record without components, with a name twice, or whose value
  // count is not cells × Gauss points × components: such a zone would index past
  // its values.
  static SubElementField decode(store::RecordReader& r);

 private:
  SubElementField(SubSpaceHandle support, std::vector<std::string> components, std::uint64_t n_cells,
                  std::uint64_t n_gauss, field::Values values);
  // A zone of the support's shape: its values `fill` or, without one, unwritten.
  static SubElementField shaped(SubSpaceHandle support, std::vector<std::string> components,
                                std::optional<double> fill);
  void check_cell(std::uint64_t cell) const;
  void check_gauss(std::uint64_t gauss) const;
  std::uint64_t component_or_throw(std::string_view name) const;

  SubSpaceHandle support_;
  std::vector<std::string> components_;
  std::uint64_t n_cells_ = 0;
  std::uint64_t n_gauss_ = 0;
  field::Values values_;
};

}  // namespace quenlith::containers::element_field

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::element_field::SubElementField> {
  static constexpr std::string_view type_path = store::type_path::sub_element_field;
  static constexpr bool writable = true;
  static void encode(const containers::element_field::SubElementField& z, store::RecordWriter& w) { z.encode(w); }
  static containers::element_field::SubElementField decode(store::RecordReader& r) {
    return containers::element_field::SubElementField::decode(r);
  }
  static void debug_text(const containers::element_field::SubElementField& z, bool /*alternate*/, std::string& out) {
    out += z.debug_text();
  }
};
