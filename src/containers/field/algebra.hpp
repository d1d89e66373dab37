#pragma once
// The field algebra, written once for node and element fields: arithmetic between
// fields, zones and numbers; in-place component operations; reductions to numbers;
// the point-wise scalar product; renaming, selecting and mapping components.
//
// A zone, as the algebra sees it, is a support handle, distinct names and rows of
// ncomp values (Zone::values(), row-major). Two zones are combined only when they
// are on the same support (equal support handles), row by row, their components
// paired by name; a component carried by one side only is carried over unchanged.
// A field is an ordered list of zone handles (Field::subs()).
//
// What the flavours provide: Zone::clone(), Zone::with_values(values) and
// Zone::with_components(names, values) (a new zone on the same support and rows),
// Zone::support(), Zone::components(), Zone::values(), Zone::values_mut(),
// Zone::ValueArray; Field::push_sub (a node field refuses a zone of another Coords
// with "mismatched Coords"; an element field checks nothing).
//
// Guards: at most one zone guard is held at a time by the calling thread, except by
// the per-zone tasks, whose guards are all read guards taken on the calling thread
// in zone order (a handle listed twice guarded once). Results are stored after every
// guard of the operands is gone, in zone order, so the order of a result's zones
// never depends on the threads. Every sum is a fixed-tree reduction
// (parallel/pool.hpp): the same bits for any number of threads, -0.0 for a sum over
// nothing inside a zone.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "dump/debug_text.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"
#include "store/guard.hpp"
#include "store/handle.hpp"
#include "store/store.hpp"

namespace quenlith::containers::field {

// A field (a list of zones) and a zone, told apart by the list's item type.
template <class T>
concept FieldList = requires { typename T::Sub; };
template <class T>
concept FieldZone = !FieldList<T> && requires(const T& z) {
  z.components();
  z.values();
};

// The five operators, the left operand's value first.
enum class FieldOp { Add, Sub, Mul, Div, Pow };

inline double op_add(double a, double b) { return a + b; }
inline double op_sub(double a, double b) { return a - b; }
inline double op_mul(double a, double b) { return a * b; }
inline double op_div(double a, double b) { return a / b; }  // IEEE: the divisor is never tested
inline double op_pow(double a, double b) { return std::pow(a, b); }

// Calls body(f) with f the operator as an inlinable function object. The four
// arithmetic ones also take pairs of values (parallel::Double2), lane by lane the
// same IEEE operation, so element-wise loops run on pairs.
template <class Body>
decltype(auto) with_op(FieldOp op, Body&& body) {
  switch (op) {
    case FieldOp::Add: return body([](auto a, auto b) { return a + b; });
    case FieldOp::Sub: return body([](auto a, auto b) { return a - b; });
    case FieldOp::Mul: return body([](auto a, auto b) { return a * b; });
    case FieldOp::Div: return body([](auto a, auto b) { return a / b; });
    case FieldOp::Pow: break;
  }
  return body([](double a, double b) { return op_pow(a, b); });
}

// The in-place component operations.
enum class ComponentOp { Add, Sub, Mul, Div };

// The extremes, named as the messages print them.
enum class Extremum { Min, Max };
inline const char* extremum_name(Extremum e) { return e == Extremum::Min ? "min" : "max"; }
inline double extremum_combine(Extremum e, double a, double b) {
  return e == Extremum::Min ? parallel::min_ignoring_nan(a, b) : parallel::max_ignoring_nan(a, b);
}

// The element-wise functions of map_values.
using UnaryFn = double (*)(double);

namespace detail {

template <FieldZone Zone>
std::size_t row_count(const Zone& z) {
  return z.values().size() / z.components().size();
}

inline std::size_t component_or_throw(std::span<const std::string> names, std::string_view name) {
  const std::optional<std::size_t> c = find_component(names, name);
  if (!c) throw Error::message("unknown component: {}", name);
  return *c;
}

// For each component of `a` that `b` carries, in a's order: (index in a, index in b).
inline std::vector<std::pair<std::size_t, std::size_t>> component_pairs(std::span<const std::string> a,
                                                                        std::span<const std::string> b) {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (const auto j = find_component(b, a[i])) pairs.emplace_back(i, *j);
  return pairs;
}

template <FieldZone Zone>
void check_rows_match(const char* op, const Zone& a, const Zone& b) {
  QUENLITH_VERIFY(row_count(a) == row_count(b), "{}: {} row(s) against {} on one support", op, row_count(a),
                  row_count(b));
}

// Read guards on every zone of `handles` (a handle listed twice guarded once), taken
// on the calling thread in order; then body(i, zone) for every position i, one task
// per zone on the pool. The first guard that fails is the error (nothing ran).
template <class Zone, class Body>
void for_each_zone(std::span<const store::Handle<Zone>> handles, Body&& body) {
  const std::size_t n = handles.size();
  std::vector<store::ReadGuard<Zone>> guards;
  guards.reserve(n);
  std::vector<const Zone*> zones(n, nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < i && !zones[i]; ++j)
      if (handles[j] == handles[i]) zones[i] = zones[j];
    if (!zones[i]) {
      guards.push_back(store::read(handles[i]));
      zones[i] = &guards.back().get();
    }
  }
  parallel::for_chunks(n, 1, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index i = begin; i < end; ++i) body(i, *zones[i]);
  });
}

// A field of the zones, each stored and appended in order.
template <class Field, class Zone>
Field store_all(std::vector<Zone>& zones) {
  Field out;
  for (Zone& z : zones) out.push_sub(store::insert(std::move(z)));
  return out;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Arithmetic

template <FieldZone Zone>
bool same_support(const Zone& a, const Zone& b) {
  return a.support() == b.support();
}

// op(v, x) for every value, in a new zone (not stored).
template <FieldZone Zone>
Zone scalar_op(const Zone& zone, FieldOp op, double x) {
  typename Zone::ValueArray out(zone.values().size());
  with_op(op, [&](auto f) {
    parallel::par_transform(zone.values(), out, [f, x](auto v) -> decltype(f(v, x)) { return f(v, x); });
  });
  return zone.with_values(std::move(out));
}

// `left` merged with `right` by op into a new zone (not stored), components paired
// by name: left's names, then right's names that left lacks. "merge_components:
// operands are not on the same support".
template <FieldZone Zone>
Zone merge_components(const Zone& left, const Zone& right, FieldOp op) {
  QUENLITH_VERIFY(same_support(left, right), "merge_components: operands are not on the same support");
  detail::check_rows_match("merge_components", left, right);
  const auto ln = left.components(), rn = right.components();
  if (std::equal(ln.begin(), ln.end(), rn.begin(), rn.end())) {
    // Same names in the same order: value by value.
    typename Zone::ValueArray out(left.values().size());
    with_op(op, [&](auto f) { parallel::par_transform2(left.values(), right.values(), out, f); });
    return left.with_values(std::move(out));
  }
  // The plan: for every output component, its index in left and in right (or none).
  constexpr std::size_t kNone = std::size_t(-1);
  std::vector<std::string> names(ln.begin(), ln.end());
  add_components(names, rn);
  struct Entry {
    std::size_t l, r;
  };
  std::vector<Entry> plan;
  plan.reserve(names.size());
  for (const std::string& name : names)
    plan.push_back({find_component(ln, name).value_or(kNone), find_component(rn, name).value_or(kNone)});
  const std::size_t nl = ln.size(), nr = rn.size(), no = names.size();
  const std::size_t rows = detail::row_count(left);
  typename Zone::ValueArray out(rows * no);
  const double* a = left.values().data();
  const double* b = right.values().data();
  double* o = out.data();
  with_op(op, [&](auto f) {
    parallel::for_chunks(rows, parallel::row_min_chunk(no), [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index r = begin; r < end; ++r)
        for (std::size_t j = 0; j < no; ++j) {
          const Entry e = plan[j];
          o[r * no + j] = e.r == kNone   ? a[r * nl + e.l]
                          : e.l == kNone ? b[r * nr + e.r]
                                         : f(a[r * nl + e.l], b[r * nr + e.r]);
        }
    });
  });
  return left.with_components(std::move(names), std::move(out));
}

// The merge of two stored zones, both read under their guards (a zone merged with
// itself is read twice, which a thread's shared holds allow).
template <FieldZone Zone>
Zone merge_handles(const store::Handle<Zone>& left, const store::Handle<Zone>& right, FieldOp op) {
  store::ReadGuard<Zone> l = store::read(left);
  store::ReadGuard<Zone> r = store::read(right);
  return merge_components(*l, *r, op);
}

// "check_same_components: operands are not on the same support", then
// "check_same_components: mismatched components ({} vs {})".
template <FieldZone Zone>
void check_same_components(const Zone& a, const Zone& b) {
  QUENLITH_VERIFY(same_support(a, b), "check_same_components: operands are not on the same support");
  const auto an = a.components(), bn = b.components();
  bool same = an.size() == bn.size();
  for (std::size_t i = 0; same && i < an.size(); ++i) same = find_component(bn, an[i]).has_value();
  QUENLITH_VERIFY(same, "check_same_components: mismatched components ({} vs {})", dump::debug_quoted_list(an),
                  dump::debug_quoted_list(bn));
}

// A new field: the zone scalar_op of every zone, one task per zone.
template <FieldList Field>
Field scalar_op(const Field& field, FieldOp op, double x) {
  using Zone = typename Field::Sub;
  std::vector<std::optional<Zone>> done(field.size());
  detail::for_each_zone<Zone>(field.subs(), [&](std::size_t i, const Zone& z) { done[i].emplace(scalar_op(z, op, x)); });
  Field out;
  for (auto& z : done) out.push_sub(store::insert(std::move(*z)));
  return out;
}

// Zone by zone: each zone of `a` merged with the first zone of `b` on its support
// (a zone of b may serve several), or copied; then copies of b's zones that served
// none, in b's order. The results are made under the operands' read guards and
// stored once every guard is gone.
template <FieldList Field>
Field binary_op(const Field& a, const Field& b, FieldOp op) {
  using Zone = typename Field::Sub;
  using Support = std::remove_cvref_t<decltype(std::declval<const Zone&>().support())>;
  const auto as = a.subs(), bs = b.subs();
  std::vector<Support> b_supports;
  b_supports.reserve(bs.size());
  for (const auto& h : bs) b_supports.push_back(store::read(h)->support());
  std::vector<bool> paired(bs.size(), false);
  std::vector<Zone> zones;
  zones.reserve(as.size() + bs.size());
  for (const auto& h : as) {
    store::ReadGuard<Zone> left = store::read(h);
    std::size_t k = 0;
    while (k < bs.size() && !(b_supports[k] == left->support())) ++k;
    if (k == bs.size()) {
      zones.push_back(left->clone());
      continue;
    }
    paired[k] = true;
    store::ReadGuard<Zone> right = store::read(bs[k]);
    zones.push_back(merge_components(*left, *right, op));
  }
  for (std::size_t k = 0; k < bs.size(); ++k)
    if (!paired[k]) zones.push_back(store::read(bs[k])->clone());
  return detail::store_all<Field>(zones);
}

// Every zone of `field` on the support of `sub` merged with it (the field's zone on
// the left), every other zone copied. "merge_subfield: no zone shares the
// sub-field's support" when none is.
template <FieldList Field>
Field merge_subfield(const Field& field, const store::Handle<typename Field::Sub>& sub, FieldOp op) {
  using Zone = typename Field::Sub;
  const auto support = store::read(sub)->support();
  std::vector<Zone> zones;
  zones.reserve(field.size());
  bool matched = false;
  for (const auto& h : field.subs()) {
    store::ReadGuard<Zone> zone = store::read(h);
    if (zone->support() == support) {
      matched = true;
      store::ReadGuard<Zone> right = store::read(sub);
      zones.push_back(merge_components(*zone, *right, op));
    } else {
      zones.push_back(zone->clone());
    }
  }
  QUENLITH_VERIFY(matched, "merge_subfield: no zone shares the sub-field's support");
  return detail::store_all<Field>(zones);
}

// ---------------------------------------------------------------------------
// In-place component operations

// "div_to_component: division by zero" (0.0 or -0.0, before anything else), then
// "unknown component: {}". The caller holds the zone's write guard.
template <FieldZone Zone>
void component_op(Zone& zone, ComponentOp op, std::string_view name, double x) {
  QUENLITH_VERIFY(!(op == ComponentOp::Div && x == 0.0), "div_to_component: division by zero");
  const std::size_t c = detail::component_or_throw(zone.components(), name);
  const std::size_t n = zone.components().size();
  switch (op) {
    case ComponentOp::Add: parallel::par_component_add(zone.values_mut(), n, c, x); break;
    case ComponentOp::Sub: parallel::par_component_sub(zone.values_mut(), n, c, x); break;
    case ComponentOp::Mul: parallel::par_component_mul(zone.values_mut(), n, c, x); break;
    case ComponentOp::Div: parallel::par_component_div(zone.values_mut(), n, c, x); break;
  }
}

// Every zone carrying the component, in order, each under its own write guard (a
// zone listed twice is changed twice). "div_to_component: division by zero" first,
// "no sub-field defines component {}" when no zone carries it. A zone that cannot
// be written ends the call; the zones before it keep their new values.
template <FieldList Field>
void component_op(const Field& field, ComponentOp op, std::string_view name, double x) {
  QUENLITH_VERIFY(!(op == ComponentOp::Div && x == 0.0), "div_to_component: division by zero");
  bool found = false;
  for (const auto& h : field.subs()) {
    auto guard = store::write(h);
    if (!find_component(guard->components(), name)) continue;
    component_op(*guard, op, name, x);
    found = true;
  }
  QUENLITH_VERIFY(found, "no sub-field defines component {}", name);
}

// ---------------------------------------------------------------------------
// Reductions

// The sum of one component over the rows, -0.0 for none. "unknown component: {}".
template <FieldZone Zone>
double sum(const Zone& zone, std::string_view name) {
  const std::size_t c = detail::component_or_throw(zone.components(), name);
  return parallel::par_component_sum(zone.values(), zone.components().size(), c);
}

// -0.0 plus the sums of the zones carrying the component, in zone order. "sum: no
// sub-field defines component {}".
template <FieldList Field>
double sum(const Field& field, std::string_view name) {
  using Zone = typename Field::Sub;
  std::vector<std::optional<double>> parts(field.size());
  detail::for_each_zone<Zone>(field.subs(), [&](std::size_t i, const Zone& z) {
    if (find_component(z.components(), name)) parts[i] = sum(z, name);
  });
  double total = -0.0;
  bool found = false;
  for (const auto& p : parts)
    if (p) total += *p, found = true;
  QUENLITH_VERIFY(found, "sum: no sub-field defines component {}", name);
  return total;
}

// The smallest or largest value of one component, NaN passed over (NaN when every
// value is NaN). "unknown component: {}", "{}: no value for component {} (empty
// support)".
template <FieldZone Zone>
double extremum(const Zone& zone, std::string_view name, Extremum e) {
  const std::size_t c = detail::component_or_throw(zone.components(), name);
  QUENLITH_VERIFY(!zone.values().empty(), "{}: no value for component {} (empty support)", extremum_name(e), name);
  const std::size_t n = zone.components().size();
  return e == Extremum::Min ? parallel::par_component_min(zone.values(), n, c)
                            : parallel::par_component_max(zone.values(), n, c);
}

// Over the zones carrying the component (an empty one among them fails the call),
// combined in zone order. "{}: no sub-field defines component {}".
template <FieldList Field>
double extremum(const Field& field, std::string_view name, Extremum e) {
  using Zone = typename Field::Sub;
  std::vector<std::optional<double>> parts(field.size());
  detail::for_each_zone<Zone>(field.subs(), [&](std::size_t i, const Zone& z) {
    if (find_component(z.components(), name)) parts[i] = extremum(z, name, e);
  });
  std::optional<double> result;
  for (const auto& p : parts)
    if (p) result = result ? extremum_combine(e, *result, *p) : *p;
  QUENLITH_VERIFY(result.has_value(), "{}: no sub-field defines component {}", extremum_name(e), name);
  return *result;
}

// The sum of the squares of every value, -0.0 for none.
template <FieldZone Zone>
double xtx(const Zone& zone) {
  return parallel::par_sum_of_squares(zone.values());
}

// 0.0 plus the zones' xtx in zone order (one guard at a time).
template <FieldList Field>
double xtx(const Field& field) {
  double total = 0.0;
  for (const auto& h : field.subs()) total += xtx(*store::read(h));
  return total;
}

// The sum of the squares of the listed components the zone carries, each counted
// once however often it is listed. "xtx_components: none of {} present in this
// sub-field".
template <FieldZone Zone>
double xtx_components(const Zone& zone, std::span<const std::string> names) {
  const auto zn = zone.components();
  std::vector<std::size_t> picked;
  for (const std::string& name : names)
    if (const auto c = find_component(zn, name); c && std::find(picked.begin(), picked.end(), *c) == picked.end())
      picked.push_back(*c);
  QUENLITH_VERIFY(!picked.empty(), "xtx_components: none of {} present in this sub-field",
                  dump::debug_quoted_list(names));
  if (picked.size() == zn.size()) return xtx(zone);
  return parallel::par_sum_of_squares_components(zone.values(), zn.size(), picked);
}

// 0.0 plus the xtx_components of every zone carrying a listed name, in zone order.
// "xtx_components: no zone defines any of {}".
template <FieldList Field>
double xtx_components(const Field& field, std::span<const std::string> names) {
  double total = 0.0;
  bool found = false;
  for (const auto& h : field.subs()) {
    auto guard = store::read(h);
    if (count_listed(guard->components(), names) == 0) continue;
    total += xtx_components(*guard, names);
    found = true;
  }
  QUENLITH_VERIFY(found, "xtx_components: no zone defines any of {}", dump::debug_quoted_list(names));
  return total;
}

// Sum over rows of the products of the components both zones carry (0.0 when none
// is shared). "dot: operands are not on the same support".
template <FieldZone Zone>
double dot(const Zone& a, const Zone& b) {
  QUENLITH_VERIFY(same_support(a, b), "dot: operands are not on the same support");
  const auto pairs = detail::component_pairs(a.components(), b.components());
  if (pairs.empty()) return 0.0;
  detail::check_rows_match("dot", a, b);
  return parallel::par_dot_pairs(a.values(), a.components().size(), b.values(), b.components().size(), pairs);
}

namespace detail {
// For every zone of `x`, the position in `ys` of the first zone on its support.
template <FieldZone Zone>
std::optional<std::size_t> partner(const Zone& x, std::span<const Zone* const> ys) {
  for (std::size_t k = 0; k < ys.size(); ++k)
    if (same_support(x, *ys[k])) return k;
  return std::nullopt;
}
template <FieldZone Zone>
std::vector<const Zone*> pointers(const std::vector<Zone>& zones) {
  std::vector<const Zone*> out;
  for (const Zone& z : zones) out.push_back(&z);
  return out;
}
template <FieldList Field>
std::vector<typename Field::Sub> copies(const Field& field) {
  std::vector<typename Field::Sub> out;
  out.reserve(field.size());
  for (const auto& h : field.subs()) out.push_back(store::read(h)->clone());
  return out;
}
}  // namespace detail

// 0.0 plus the dot of every zone of x with its partner in y (the first zone of y on
// its support), in x's order; zones without a partner add nothing. Every zone of y
// is read first, in order, and its read guard kept for the call: the products read
// y's own value arrays rather than copies of them (read guards are shared, and a
// thread may hold several on one zone, so x and y may share zones).
template <FieldList Field>
double xty(const Field& x, const Field& y) {
  using Zone = typename Field::Sub;
  std::vector<store::ReadGuard<Zone>> guards;
  guards.reserve(y.size());
  std::vector<const Zone*> ys;
  for (const auto& h : y.subs()) {
    guards.push_back(store::read(h));
    ys.push_back(&*guards.back());
  }
  double total = 0.0;
  for (const auto& h : x.subs()) {
    auto guard = store::read(h);
    if (const auto k = detail::partner<Zone>(*guard, ys)) total += dot(*guard, *ys[*k]);
  }
  return total;
}

// A zone with the one component "psca": per row, the sum of the products of the
// shared components (0.0 without any). "pscal: operands are not on the same
// support".
template <FieldZone Zone>
Zone psca(const Zone& a, const Zone& b) {
  QUENLITH_VERIFY(same_support(a, b), "pscal: operands are not on the same support");
  const auto pairs = detail::component_pairs(a.components(), b.components());
  detail::check_rows_match("psca", a, b);
  const std::size_t rows = detail::row_count(a), na = a.components().size(), nb = b.components().size();
  typename Zone::ValueArray out(rows);
  const double* av = a.values().data();
  const double* bv = b.values().data();
  parallel::for_chunks(rows, parallel::row_min_chunk(na), [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index r = begin; r < end; ++r) {
      double s = pairs.empty() ? 0.0 : -0.0;
      for (const auto& [ia, ib] : pairs) s += av[r * na + ia] * bv[r * nb + ib];
      out[r] = s;
    }
  });
  return a.with_components({"psca"}, std::move(out));
}

// The psca of every zone of x that has a partner in y, in x's order (maybe none).
template <FieldList Field>
Field psca(const Field& x, const Field& y) {
  using Zone = typename Field::Sub;
  const auto ys = detail::copies(y);
  const auto ptrs = detail::pointers(ys);
  std::vector<Zone> zones;
  for (const auto& h : x.subs()) {
    auto guard = store::read(h);
    if (const auto k = detail::partner<Zone>(*guard, ptrs)) zones.push_back(psca(*guard, ys[*k]));
  }
  return detail::store_all<Field>(zones);
}

// ---------------------------------------------------------------------------
// Renaming, selecting, mapping

// A copy with `from` renamed `to` in place. "unknown component: {}", then
// "rename_component: target `{}` already names another component".
template <FieldZone Zone>
Zone rename_component(const Zone& zone, std::string_view from, std::string_view to) {
  const auto zn = zone.components();
  const std::size_t c = detail::component_or_throw(zn, from);
  QUENLITH_VERIFY(from == to || !find_component(zn, to),
                  "rename_component: target `{}` already names another component", to);
  std::vector<std::string> names(zn.begin(), zn.end());
  names[c] = std::string(to);
  typename Zone::ValueArray values(zone.values().begin(), zone.values().end());
  return zone.with_components(std::move(names), std::move(values));
}

// Zones carrying `from` renamed into new zones, the others shared (same handle).
// "rename_component: no zone carries component `{}`".
template <FieldList Field>
Field rename_component(const Field& field, std::string_view from, std::string_view to) {
  using Zone = typename Field::Sub;
  Field out;
  bool found = false;
  for (const auto& h : field.subs()) {
    std::optional<Zone> renamed;
    {
      auto guard = store::read(h);
      if (find_component(guard->components(), from)) renamed.emplace(rename_component(*guard, from, to));
    }
    if (renamed) {
      found = true;
      out.push_sub(store::insert(std::move(*renamed)));
    } else {
      out.push_sub(h);
    }
  }
  QUENLITH_VERIFY(found, "rename_component: no zone carries component `{}`", from);
  return out;
}

// f(v) for every value, in a new zone (not stored).
template <FieldZone Zone>
Zone map_values(const Zone& zone, UnaryFn f) {
  typename Zone::ValueArray out(zone.values().size());
  parallel::par_transform(zone.values(), out, f);
  return zone.with_values(std::move(out));
}

// A new field of the zones' map_values, one task per zone.
template <FieldList Field>
Field map_values(const Field& field, UnaryFn f) {
  using Zone = typename Field::Sub;
  std::vector<std::optional<Zone>> done(field.size());
  detail::for_each_zone<Zone>(field.subs(), [&](std::size_t i, const Zone& z) { done[i].emplace(map_values(z, f)); });
  Field out;
  for (auto& z : done) out.push_sub(store::insert(std::move(*z)));
  return out;
}

}  // namespace quenlith::containers::field
