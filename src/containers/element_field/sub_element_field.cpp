#include "containers/element_field/sub_element_field.hpp"

#include <fmt/format.h>

#include "containers/field/components.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"

namespace quenlith::containers::element_field {

using finite_element_space::SubFiniteElementSpace;

namespace {
constexpr std::string_view kTypeName = "SubElementField";
}

SubElementField::SubElementField(SubSpaceHandle support, std::vector<std::string> components, std::uint64_t n_cells,
                                 std::uint64_t n_gauss, field::Values values)
    : support_(std::move(support)),
      components_(std::move(components)),
      n_cells_(n_cells),
      n_gauss_(n_gauss),
      values_(std::move(values)) {}

SubElementField SubElementField::create(SubSpaceHandle support, std::vector<std::string> components) {
  return shaped(std::move(support), std::move(components), 0.0);
}

SubElementField SubElementField::shaped(SubSpaceHandle support, std::vector<std::string> components,
                                        std::optional<double> fill) {
  field::check_component_names(components, kTypeName);
  std::uint64_t n_cells, n_gauss;
  {
    store::ReadGuard<SubFiniteElementSpace> guard = store::read(support);
    n_gauss = guard->gauss_count();
    n_cells = guard->cell_count();
  }
  const std::size_t n = n_cells * n_gauss * components.size();
  field::Values values = fill ? field::Values(n, *fill) : field::Values(n);
  return SubElementField(std::move(support), std::move(components), n_cells, n_gauss, std::move(values));
}

SubElementField SubElementField::from_uniform_per_component(SubSpaceHandle support,
                                                            std::vector<std::string> components,
                                                            std::span<const double> values) {
  QUENLITH_VERIFY(values.size() == components.size(), "from_uniform_per_component: {} values supplied for {} components",
                  values.size(), components.size());
  SubElementField zone = shaped(std::move(support), std::move(components), std::nullopt);
  // One pass over the points, each row written whole: the same values as setting
  // one component after the other, without a strided pass per component.
  const std::size_t nc = values.size();
  double* out = zone.values_.data();
  parallel::for_chunks(zone.values_.size() / nc, parallel::row_min_chunk(nc),
                       [&](parallel::Index begin, parallel::Index end) {
                         for (parallel::Index p = begin; p < end; ++p)
                           for (std::size_t c = 0; c < nc; ++c) out[p * nc + c] = values[c];
                       });
  return zone;
}

SubElementField SubElementField::clone() const {
  return SubElementField(support_, components_, n_cells_, n_gauss_, field::copy_values(values_));
}

SubElementField SubElementField::select_components(std::span<const std::string> names) const {
  auto picked = field::select_components<field::Values>(components_, values_, names);
  return SubElementField(support_, std::move(picked.names), n_cells_, n_gauss_, std::move(picked.values));
}

SubElementField SubElementField::with_values(field::Values values) const {
  return SubElementField(support_, components_, n_cells_, n_gauss_, std::move(values));
}

SubElementField SubElementField::with_components(std::vector<std::string> names, field::Values values) const {
  return SubElementField(support_, std::move(names), n_cells_, n_gauss_, std::move(values));
}

void SubElementField::check_cell(std::uint64_t cell) const {
  QUENLITH_VERIFY(cell < n_cells_, "SubElementField: cell index {} ≥ cell_count {}", cell, n_cells_);
}

void SubElementField::check_gauss(std::uint64_t gauss) const {
  QUENLITH_VERIFY(gauss < n_gauss_, "SubElementField: gauss index {} ≥ gauss_count {}", gauss, n_gauss_);
}

std::uint64_t SubElementField::component_or_throw(std::string_view name) const {
  const auto c = field::find_component(components_, name);
  if (!c) throw Error::message("unknown component: {}", name);
  return *c;
}

std::uint64_t SubElementField::flat_index(std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp) const {
  check_cell(cell);
  check_gauss(gauss);
  QUENLITH_VERIFY(comp < components_.size(), "SubElementField: component index {} ≥ component_count {}", comp,
                  components_.size());
  return (cell * n_gauss_ + gauss) * components_.size() + comp;
}

double SubElementField::get(std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp) const {
  return values_[flat_index(cell, gauss, comp)];
}

void SubElementField::set(std::uint64_t cell, std::uint64_t gauss, std::uint64_t comp, double value) {
  values_[flat_index(cell, gauss, comp)] = value;
}

double SubElementField::value(std::uint64_t cell, std::uint64_t gauss, std::string_view component) const {
  const std::uint64_t c = component_or_throw(component);
  return values_[flat_index(cell, gauss, c)];
}

void SubElementField::set_value(std::uint64_t cell, std::uint64_t gauss, std::string_view component, double value) {
  const std::uint64_t c = component_or_throw(component);
  values_[flat_index(cell, gauss, c)] = value;
}

std::vector<double> SubElementField::point_values(std::uint64_t cell, std::uint64_t gauss) const {
  const std::uint64_t at = flat_index(cell, gauss, 0);
  const std::size_t nc = components_.size();
  return std::vector<double>(values_.begin() + static_cast<std::ptrdiff_t>(at),
                             values_.begin() + static_cast<std::ptrdiff_t>(at + nc));
}

void SubElementField::set_cell_uniform(std::uint64_t cell, std::string_view component, double value) {
  check_cell(cell);
  const std::uint64_t c = component_or_throw(component);
  const std::size_t nc = components_.size();
  for (std::uint64_t g = 0; g < n_gauss_; ++g) values_[(cell * n_gauss_ + g) * nc + c] = value;
}

void SubElementField::set_uniform(std::string_view component, double value) {
  const std::uint64_t c = component_or_throw(component);
  parallel::par_component_set(values_, components_.size(), c, value);
}

std::optional<std::uint64_t> SubElementField::component_index(std::string_view name) const noexcept {
  const auto c = field::find_component(components_, name);
  if (!c) return std::nullopt;
  return *c;
}

void SubElementField::check_fits(const SubFiniteElementSpace& support) const {
  const std::uint64_t cells = support.cell_count(), gauss = support.gauss_count();
  QUENLITH_VERIFY(cells == n_cells_ && gauss == n_gauss_,
                  "SubElementField: a zone of {} cell(s) × {} gauss does not fit its subspace of {} cell(s) × {} gauss",
                  n_cells_, n_gauss_, cells, gauss);
}

std::string SubElementField::display_text() const {
  return fmt::format("SubElementField: {} cell(s) × {} gauss × {} component(s) [{}]", n_cells_, n_gauss_,
                     components_.size(), dump::join(components_, ", "));
}

std::string SubElementField::debug_text() const {
  return dump::DebugRecord("SubElementField")
      .field("support", support_.debug_text())
      .field("cell_count", std::to_string(n_cells_))
      .field("gauss_count", std::to_string(n_gauss_))
      .field("components", dump::debug_quoted_list(components_))
      .finish();
}

std::string SubElementField::dump_text(const dump::DumpOptions& options) const {
  const std::size_t nc = components_.size();
  std::vector<std::string> header;
  header.reserve(nc + 2);
  header.emplace_back("cell");
  header.emplace_back("gauss");
  header.insert(header.end(), components_.begin(), components_.end());
  std::vector<dump::Row> rows;
  rows.reserve(n_cells_ * n_gauss_);
  for (std::uint64_t e = 0; e < n_cells_; ++e) {
    for (std::uint64_t g = 0; g < n_gauss_; ++g) {
      dump::Row row;
      row.reserve(nc + 2);
      row.push_back(std::to_string(e));
      row.push_back(std::to_string(g));
      const std::size_t at = (e * n_gauss_ + g) * nc;
      for (std::size_t c = 0; c < nc; ++c) row.push_back(dump::format_dump_cell(values_[at + c], options));
      rows.push_back(std::move(row));
    }
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

void SubElementField::encode(store::RecordWriter& w) const {
  w.write_handle(support_);
  w.write_string_list(components_);
  w.write_u64(n_cells_);
  w.write_u64(n_gauss_);
  w.write_f64_list(values_);
}

SubElementField SubElementField::decode(store::RecordReader& r) {
  SubElementField z;
  z.support_ = r.read_handle<SubFiniteElementSpace>();
  z.components_ = r.read_string_list();
  z.n_cells_ = r.read_u64();
  z.n_gauss_ = r.read_u64();
  {
    const std::vector<double> values = r.read_f64_list();
    z.values_.assign(values.begin(), values.end());
  }
  const std::size_t nc = z.components_.size();
  store::RecordReader::check(nc > 0, "SubElementField record: no component");
  try {
    field::check_component_names(z.components_, kTypeName);
  } catch (const Error& e) {
    store::RecordReader::check(false, "SubElementField record: {}", e.text());
  }
  // Divisions, not a product: the counts come from the record and may overflow.
  const std::uint64_t n = z.values_.size();
  bool fits = n % nc == 0;
  if (fits) {
    const std::uint64_t points = n / nc;
    fits = z.n_gauss_ == 0 ? points == 0 : points % z.n_gauss_ == 0 && points / z.n_gauss_ == z.n_cells_;
  }
  store::RecordReader::check(fits,
                             "SubElementField record: {} value(s) for {} cell(s) × {} gauss × {} component(s)", n,
                             z.n_cells_, z.n_gauss_, nc);
  return z;
}

}  // namespace quenlith::containers::element_field
