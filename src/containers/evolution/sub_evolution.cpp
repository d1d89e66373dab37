#include "containers/evolution/sub_evolution.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/field/algebra.hpp"
#include "containers/field/components.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::containers::evolution {

namespace {

constexpr std::string_view kPolicyNames[] = {"error", "clamp", "extrapolate"};
constexpr std::string_view kKindNames[] = {"scalar", "node", "element"};
constexpr const char* kNotScalar = "evolution: a field can only be mapped through a scalar-valued evolution";

// Zones of one curve share their support and their set of names (in any order).
template <class Zone>
bool same_support_and_names(const Zone& a, const Zone& b) {
  try {
    field::check_same_components(a, b);
  } catch (const Error&) {
    return false;
  }
  return true;
}

// (1 − t)·p + t·q for every value p of a and the value q of b at the same row and
// name, in one pass into a new array on a's support: the values of scaling copies
// of both and adding them, without the copies.
template <class Zone>
Zone lerp_zones(const Zone& a, const Zone& b, double t) {
  field::check_same_components(a, b);
  field::detail::check_rows_match("lerp", a, b);
  const std::size_t nc = a.component_count();
  std::vector<std::size_t> from(nc);
  bool same_order = true;
  for (std::size_t c = 0; c < nc; ++c) {
    from[c] = *field::find_component(b.components(), a.components()[c]);
    same_order = same_order && from[c] == c;
  }
  const std::span<const double> p = a.values();
  const std::span<const double> q = b.values();
  typename Zone::ValueArray out(p.size());
  double* o = out.data();
  const double s = 1.0 - t;
  if (same_order) {
    parallel::for_chunks(p.size(), parallel::PAR_MIN_LEN, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) o[i] = s * p[i] + t * q[i];
    });
  } else {
    parallel::for_chunks(p.size() / nc, parallel::row_min_chunk(nc), [&](std::size_t begin, std::size_t end) {
      for (std::size_t r = begin; r < end; ++r)
        for (std::size_t c = 0; c < nc; ++c) o[r * nc + c] = s * p[r * nc + c] + t * q[r * nc + from[c]];
    });
  }
  return a.with_values(std::move(out));
}

template <class Zone>
void write_zone(store::RecordWriter& w, const Zone& z) {
  z.encode(w);
}

}  // namespace

OutOfRange parse_out_of_range(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kPolicyNames); ++i)
    if (name == kPolicyNames[i]) return static_cast<OutOfRange>(i);
  throw Error::message("unknown out_of_range policy '{}' (expected 'error', 'clamp' or 'extrapolate')", name);
}

std::string_view out_of_range_name(OutOfRange policy) noexcept {
  return kPolicyNames[static_cast<std::size_t>(policy)];
}

std::string_view kind_name(const EvolutionValue& value) noexcept { return kKindNames[value.index()]; }

EvolutionValue clone_value(const EvolutionValue& value) {
  return std::visit(
      [](const auto& v) -> EvolutionValue {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, double>)
          return v;
        else
          return v.clone();
      },
      value);
}

EvolutionValue lerp_values(const EvolutionValue& y0, const EvolutionValue& y1, double t) {
  QUENLITH_VERIFY(y0.index() == y1.index(), "evolution: cannot interpolate between values of different kinds");
  switch (y0.index()) {
    case 0: {
      const double a = std::get<0>(y0), b = std::get<0>(y1);
      return t * b + (1.0 - t) * a;
    }
    case 1: return lerp_zones(std::get<1>(y0), std::get<1>(y1), t);
    default: return lerp_zones(std::get<2>(y0), std::get<2>(y1), t);
  }
}

SubEvolution SubEvolution::create(std::vector<Sample> samples, OutOfRange policy) {
  QUENLITH_VERIFY(!samples.empty(), "SubEvolution requires at least one sample");
  for (const Sample& s : samples) QUENLITH_VERIFY(!std::isnan(s.abscissa), "SubEvolution: NaN abscissa");
  std::stable_sort(samples.begin(), samples.end(),
                   [](const Sample& a, const Sample& b) { return a.abscissa < b.abscissa; });
  for (std::size_t i = 1; i < samples.size(); ++i)
    QUENLITH_VERIFY(samples[i - 1].abscissa != samples[i].abscissa, "SubEvolution: duplicate abscissa {}",
                    dump::plain_number(samples[i - 1].abscissa));
  const EvolutionValue& first = samples.front().value;
  for (std::size_t i = 1; i < samples.size(); ++i)
    QUENLITH_VERIFY(samples[i].value.index() == first.index(), "SubEvolution: mixed value kinds ({} and {})",
                    evolution::kind_name(first), evolution::kind_name(samples[i].value));
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const EvolutionValue& v = samples[i].value;
    if (first.index() == 1)
      QUENLITH_VERIFY(same_support_and_names(std::get<1>(first), std::get<1>(v)),
                      "SubEvolution: node values must share the same support and components");
    else if (first.index() == 2)
      QUENLITH_VERIFY(same_support_and_names(std::get<2>(first), std::get<2>(v)),
                      "SubEvolution: element values must share the same support and components");
  }
  SubEvolution c;
  c.abscissas_.reserve(samples.size());
  c.values_.reserve(samples.size());
  for (Sample& s : samples) {
    c.abscissas_.push_back(s.abscissa);
    c.values_.push_back(std::move(s.value));
  }
  c.out_of_range_ = policy;
  return c;
}

SubEvolution SubEvolution::clone() const {
  SubEvolution c;
  c.abscissas_ = abscissas_;
  c.values_.reserve(values_.size());
  for (const EvolutionValue& v : values_) c.values_.push_back(clone_value(v));
  c.out_of_range_ = out_of_range_;
  c.abscissa_type_ = abscissa_type_;
  c.ordinate_type_ = ordinate_type_;
  return c;
}

std::string_view SubEvolution::kind_name() const noexcept { return kKindNames[kind()]; }

void SubEvolution::check_ordinate_type(std::optional<std::string> label) {
  QUENLITH_VERIFY(!label || is_scalar(), "ordinate type applies to scalar evolutions only (this one is {})",
                  kind_name());
  ordinate_type_ = std::move(label);
}

SubEvolution::Bracket SubEvolution::locate(std::optional<OutOfRange> policy, double x) const {
  QUENLITH_VERIFY(!std::isnan(x), "non-NaN abscissas");
  const std::size_t n = abscissas_.size();
  const double first = abscissas_.front(), last = abscissas_.back();
  const auto segment = [&](std::size_t k) {  // the blend on [a[k-1], a[k]]
    return Bracket{k - 1, k, (x - abscissas_[k - 1]) / (abscissas_[k] - abscissas_[k - 1])};
  };
  if (x < first || x > last) {
    const bool below = x < first;
    switch (policy.value_or(out_of_range_)) {
      case OutOfRange::Error:
        throw Error::message("evolution: abscissa {} is outside the tabulated range [{}, {}]", dump::plain_number(x),
                             dump::plain_number(first), dump::plain_number(last));
      case OutOfRange::Clamp: {
        const std::size_t end = below ? 0 : n - 1;
        return {end, end, 0.0};
      }
      case OutOfRange::Extrapolate:
        if (n == 1) return {0, 0, 0.0};
        return segment(below ? 1 : n - 1);
    }
  }
  const std::size_t k = static_cast<std::size_t>(std::lower_bound(abscissas_.begin(), abscissas_.end(), x) -
                                                 abscissas_.begin());
  if (abscissas_[k] == x) return {k, k, 0.0};
  return segment(k);
}

EvolutionValue SubEvolution::interpolate(std::optional<OutOfRange> policy, double x) const {
  const Bracket b = locate(policy, x);
  if (b.exact()) return clone_value(values_[b.lower]);
  return lerp_values(values_[b.lower], values_[b.upper], b.t);
}

double SubEvolution::map_value(std::optional<OutOfRange> policy, double x) const {
  QUENLITH_VERIFY(is_scalar(), kNotScalar);
  const Bracket b = locate(policy, x);
  const double y0 = std::get<0>(values_[b.lower]);
  if (b.exact()) return y0;
  const double y1 = std::get<0>(values_[b.upper]);
  return b.t * y1 + (1.0 - b.t) * y0;
}

template <class Zone>
std::vector<double> SubEvolution::map_entries(const Zone& zone, std::optional<OutOfRange> policy) const {
  QUENLITH_VERIFY(is_scalar(), kNotScalar);
  QUENLITH_VERIFY(abscissa_type_.has_value(),
                  "evolution: set the abscissa type to map a field (it selects which field component to look up)");
  const std::optional<std::size_t> comp = field::find_component(zone.components(), *abscissa_type_);
  QUENLITH_VERIFY(comp.has_value(), "evolution: the field has no component '{}' matching the abscissa type",
                  *abscissa_type_);
  const std::size_t nc = zone.component_count();
  const std::span<const double> in = zone.values();
  std::vector<double> out(in.size() / nc);
  parallel::for_chunks(out.size(), parallel::row_min_chunk(nc), [&](std::size_t begin, std::size_t end) {
    for (std::size_t e = begin; e < end; ++e) out[e] = map_value(policy, in[e * nc + *comp]);
  });
  return out;
}

std::string SubEvolution::output_component() const { return ordinate_type_.value_or("value"); }

SubNodeField SubEvolution::map_sub_node_field(const SubNodeField& zone, std::optional<OutOfRange> policy) const {
  std::vector<double> mapped = map_entries(zone, policy);
  return SubNodeField::create(zone.support(), {output_component()}, std::move(mapped));
}

SubElementField SubEvolution::map_sub_element_field(const SubElementField& zone,
                                                    std::optional<OutOfRange> policy) const {
  const std::vector<double> mapped = map_entries(zone, policy);
  SubElementField out = SubElementField::create(zone.support(), {output_component()});
  QUENLITH_VERIFY(out.values().size() == mapped.size(),
                  "evolution: a zone of {} point(s) does not fit its subspace of {} point(s)", mapped.size(),
                  out.values().size());
  std::copy(mapped.begin(), mapped.end(), out.values_mut().begin());
  return out;
}

std::string SubEvolution::display_text() const {
  return fmt::format("SubEvolution: {} sample(s), {} value(s), out_of_range={}", abscissas_.size(), kind_name(),
                     out_of_range_name(out_of_range_));
}

std::string SubEvolution::debug_text() const {
  return dump::DebugRecord("SubEvolution")
      .field("samples", std::to_string(abscissas_.size()))
      .field("kind", dump::debug_quoted(kind_name()))
      .field("out_of_range", dump::debug_quoted(out_of_range_name(out_of_range_)))
      .finish();
}

std::string SubEvolution::dump_text(const dump::DumpOptions& options) const {
  const std::vector<std::string> header{"abscissa", "value"};
  std::vector<dump::Row> rows;
  const std::size_t n = std::min(abscissas_.size(), values_.size());
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string cell = std::visit(
        [&](const auto& v) -> std::string {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, double>)
            return dump::format_dump_cell(v, options);
          else if constexpr (std::is_same_v<V, SubNodeField>)
            return fmt::format("SubNodeField({} node(s))", v.node_count());
          else
            return fmt::format("SubElementField({} cell(s))", v.cell_count());
        },
        values_[i]);
    rows.push_back({dump::format_dump_cell(abscissas_[i], options), std::move(cell)});
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

void SubEvolution::encode(store::RecordWriter& w) const {
  w.write_f64_list(abscissas_);
  w.write_list(values_, [](store::RecordWriter& out, const EvolutionValue& v) {
    out.write_variant(static_cast<std::uint32_t>(v.index()));
    std::visit(
        [&](const auto& x) {
          if constexpr (std::is_same_v<std::decay_t<decltype(x)>, double>)
            out.write_f64(x);
          else
            write_zone(out, x);
        },
        v);
  });
  w.write_variant(static_cast<std::uint32_t>(out_of_range_));
  const auto text = [](store::RecordWriter& out, const std::string& s) { out.write_string(s); };
  w.write_optional(abscissa_type_, text);
  w.write_optional(ordinate_type_, text);
}

SubEvolution SubEvolution::decode(store::RecordReader& r) {
  SubEvolution c;
  c.abscissas_ = r.read_f64_list();
  c.values_ = r.read_list([](store::RecordReader& in) -> EvolutionValue {
    switch (in.read_variant(3)) {
      case 0: return in.read_f64();
      case 1: return SubNodeField::decode(in);
      default: return SubElementField::decode(in);
    }
  });
  c.out_of_range_ = static_cast<OutOfRange>(r.read_variant(3));
  const auto text = [](store::RecordReader& in) { return in.read_string(); };
  c.abscissa_type_ = r.read_optional(text);
  c.ordinate_type_ = r.read_optional(text);
  store::RecordReader::check(!c.abscissas_.empty(), "SubEvolution record: no sample");
  store::RecordReader::check(c.abscissas_.size() == c.values_.size(),
                             "SubEvolution record: {} abscissa(s) for {} value(s)", c.abscissas_.size(),
                             c.values_.size());
  // Readers take the kind of the first value for all: a scalar curve reads its values
  // as numbers.
  for (const EvolutionValue& v : c.values_)
    store::RecordReader::check(v.index() == c.values_.front().index(),
                               "SubEvolution record: mixed value kinds ({} and {})",
                               evolution::kind_name(c.values_.front()), evolution::kind_name(v));
  return c;
}

}  // namespace quenlith::containers::evolution
