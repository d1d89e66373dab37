#include "containers/mesh/node_refs.hpp"

#include <cmath>
#include <string>

#include "base/error.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::mesh {

using containers::mesh::Coords;
using containers::mesh::NodeId;

NodeRefs::NodeRefs(store::Handle<Coords> coords) : coords_(std::move(coords)) {}

NodeRefs::~NodeRefs() {
  if (ids_.empty()) return;
  try {
    store::WriteGuard<Coords> guard = store::write(coords_);
    Coords& c = *guard;
    for (const NodeId id : ids_) {
      // A release cannot fail: a count already at zero stays as it is.
      if (c.refcount(id) > 0) c.decref(id);
    }
  } catch (...) {
    // A Coords that cannot be locked keeps its counts: they are never lowered below
    // the number of their holders.
  }
}

void NodeRefs::acquire(std::span<const NodeId> ids) {
  store::WriteGuard<Coords> guard = store::write(coords_);
  Coords& c = *guard;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (!c.is_alive(ids[i])) {
      for (std::size_t j = 0; j < i; ++j) c.decref(ids[j]);
      throw Error::message("node {} not found or collected", ids[i]);
    }
    c.incref_alive(ids[i]);
  }
  ids_.insert(ids_.end(), ids.begin(), ids.end());
}

void NodeRefs::create(std::span<const double> points) {
  store::WriteGuard<Coords> guard = store::write(coords_);
  Coords& c = *guard;
  const std::size_t d = c.dim();
  for (std::size_t start = 0; start + d <= points.size(); start += d)
    ids_.push_back(c.add_node(points.subspan(start, d)));
}

std::vector<double> finite_points(std::string_view op, const store::Handle<Coords>& coords,
                                  std::span<const NodeId> ids, std::size_t& dim) {
  std::vector<double> out;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    const Coords& c = *guard;
    dim = c.dim();
    const std::span<const double> buf = c.active_buffer();
    out.resize(ids.size() * dim);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      QUENLITH_VERIFY(c.is_alive(ids[i]), "node {} not found or collected", ids[i]);
      for (std::size_t k = 0; k < dim; ++k) out[i * dim + k] = buf[std::size_t{ids[i]} * dim + k];
    }
  }
  for (std::size_t i = 0; i < ids.size(); ++i)
    for (std::size_t k = 0; k < dim; ++k)
      QUENLITH_VERIFY(std::isfinite(out[i * dim + k]), "{}: node {} has a non-finite coordinate", op, ids[i]);
  return out;
}

namespace {
// "x, y, z" in the plain number format.
std::string number_list(std::span<const double> values) {
  std::string text;
  for (const double x : values) {
    if (!text.empty()) text += ", ";
    text += dump::plain_number(x);
  }
  return text;
}
}  // namespace

void check_finite(std::string_view op, std::string_view what, std::span<const double> values) {
  for (const double v : values)
    if (!std::isfinite(v)) throw Error::message("{}: {} must be finite (got [{}])", op, what, number_list(values));
}

void check_new_points(std::string_view op, std::span<const double> points, std::size_t dim) {
  for (std::size_t start = 0; start + dim <= points.size(); start += dim) {
    const std::span<const double> point = points.subspan(start, dim);
    for (const double v : point)
      if (!std::isfinite(v))
        throw Error::message("{}: a new node would have a non-finite coordinate ([{}]): the input coordinates are too "
                             "large",
                             op, number_list(point));
  }
}

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

}  // namespace quenlith::containers::mesh
