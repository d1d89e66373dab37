#include "containers/mesh/coords.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "base/error.hpp"
#include "dump/debug_text.hpp"
#include "dump/dump_table.hpp"
#include "dump/number_format.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::containers::mesh {


Coords::Coords(std::uint8_t dim) {
  QUENLITH_VERIFY(dim >= 1, "dim must be ≥ 1");
  dim_ = dim;
  configs_.emplace_back();
  config_names_.emplace_back("default");
}

std::uint64_t Coords::node_count() const noexcept {
  return static_cast<std::uint64_t>(std::count(alive_.begin(), alive_.end(), true));
}

void Coords::check_live(NodeId id) const {
  QUENLITH_VERIFY(is_alive(id), "node {} not found or collected", id);
}

std::vector<double> Coords::coord(NodeId id) const {
  check_live(id);
  const std::vector<double>& buffer = configs_[active_];
  const std::size_t at = std::size_t{id} * dim_;
  return {buffer.begin() + static_cast<std::ptrdiff_t>(at), buffer.begin() + static_cast<std::ptrdiff_t>(at + dim_)};
}

std::vector<std::vector<double>> Coords::coords_of(std::span<const NodeId> ids) const {
  std::vector<std::vector<double>> out;
  out.reserve(ids.size());
  for (NodeId id : ids) out.push_back(coord(id));
  return out;
}

namespace {
template <class V>
void grow_for(V& v, std::size_t extra) {
  if (v.size() + extra > v.capacity()) v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}
}  // namespace

NodeId Coords::add_node(std::span<const double> coords) {
  QUENLITH_VERIFY(coords.size() == dim_, "add_node: expected {} coordinates, got {}", dim_, coords.size());
  // Wrapping to id 0 would hand out a live id a second time.
  QUENLITH_VERIFY(capacity() < kMaxCapacity, "add_node: node id space exhausted");
  const auto id = static_cast<NodeId>(capacity());
  // Reserve everything first so that a failed allocation leaves the arrays in
  // step; growth is geometric, or adding n nodes would copy the arrays n times.
  for (auto& buffer : configs_) grow_for(buffer, dim_);
  grow_for(alive_, 1);
  grow_for(refcount_, 1);
  if (permutation_) grow_for(*permutation_, 1);
  for (auto& buffer : configs_) buffer.insert(buffer.end(), coords.begin(), coords.end());
  alive_.push_back(true);
  refcount_.push_back(1);
  if (permutation_) permutation_->push_back(id);
  return id;
}

NodeId Coords::add_nodes(std::span<const double> coords, std::span<const std::uint32_t> counts) {
  QUENLITH_VERIFY(coords.size() % dim_ == 0, "add_nodes: {} value(s) are not whole nodes of {} coordinates",
                  coords.size(), dim_);
  const auto first = static_cast<NodeId>(capacity());
  const std::uint64_t wanted = coords.size() / dim_;
  QUENLITH_VERIFY(counts.empty() || counts.size() == wanted, "add_nodes: {} count(s) for {} node(s)", counts.size(),
                  wanted);
  const std::uint64_t room = kMaxCapacity - capacity();
  const std::uint64_t n = std::min(wanted, room);
  // As in add_node: everything reserved before anything is appended.
  for (auto& buffer : configs_) grow_for(buffer, n * dim_);
  grow_for(alive_, n);
  grow_for(refcount_, n);
  if (permutation_) grow_for(*permutation_, n);
  const std::span<const double> added = coords.first(n * dim_);
  for (auto& buffer : configs_) buffer.insert(buffer.end(), added.begin(), added.end());
  alive_.insert(alive_.end(), n, true);
  if (counts.empty())
    refcount_.insert(refcount_.end(), n, 1);
  else
    refcount_.insert(refcount_.end(), counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(n));
  if (permutation_)
    for (std::uint64_t i = 0; i < n; ++i) permutation_->push_back(static_cast<std::uint32_t>(first + i));
  QUENLITH_VERIFY(n == wanted, "add_node: node id space exhausted");
  return first;
}

void Coords::set_coord(NodeId id, std::span<const double> coords) {
  check_live(id);
  QUENLITH_VERIFY(coords.size() == dim_, "set_coord: expected {} coordinates, got {}", dim_, coords.size());
  std::copy(coords.begin(), coords.end(), configs_[active_].begin() + static_cast<std::ptrdiff_t>(std::size_t{id} * dim_));
}

void Coords::incref(NodeId id) {
  check_live(id);
  if (refcount_[id] != kImmortalCount) ++refcount_[id];
}

void Coords::decref(NodeId id) {
  check_live(id);
  std::uint32_t& count = refcount_[id];
  QUENLITH_VERIFY(count != 0, "decref: refcount already zero for node {}", id);
  // An immortal count has lost track of its holders: it must never reach 0.
  if (count != kImmortalCount) --count;
}

namespace {

// Eight counts at a time, for the runs of consecutive ids that bulk lists mostly
// are (the nodes of a mesh in order): two vectors of four counts each.
using Count4 = std::uint32_t __attribute__((vector_size(16)));
using Words2 = std::uint64_t __attribute__((vector_size(16)));

Count4 load4(const std::uint32_t* p) noexcept {
  Count4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void store4(std::uint32_t* p, Count4 v) noexcept { std::memcpy(p, &v, sizeof v); }
// Whether every lane of a comparison holds.
template <class Mask>
bool all_lanes(Mask m) noexcept {
  const Words2 w = reinterpret_cast<Words2>(m);
  return (w[0] & w[1]) == ~std::uint64_t{0};
}
// Whether ids[0..8) are ids[0], ids[0] + 1, ..., ids[0] + 7, all below n_slots.
bool run_of_eight(const NodeId* ids, std::size_t n_slots) noexcept {
  const NodeId first = ids[0];
  if (std::size_t{first} + 8 > n_slots) return false;
  const Count4 step = {0, 1, 2, 3};
  const Count4 lo = first + step, hi = lo + 4;
  return all_lanes((load4(ids) == lo) & (load4(ids + 4) == hi));
}

}  // namespace

// A collected slot keeps a count of 0, so a count above 0 tells a live node without
// reading its flag: the flag is read only for a count of 0.
std::size_t Coords::incref_all(std::span<const NodeId> ids) noexcept {
  const std::size_t n_slots = alive_.size();
  std::uint32_t* counts = refcount_.data();
  const auto give_back_first = [&](std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
      const std::uint32_t c = counts[ids[j]];
      counts[ids[j]] = c - (c != kImmortalCount);
    }
  };
  // One pass: counts are taken as the ids are checked, and given back should one
  // of them not be live. (A count that reached the immortal value on the way
  // stays there, as it would after any other incref.)
  std::size_t i = 0;
  while (i < ids.size()) {
    if (i + 8 <= ids.size() && run_of_eight(ids.data() + i, n_slots)) {
      std::uint32_t* at = counts + ids[i];
      const Count4 c0 = load4(at), c1 = load4(at + 4);
      if (all_lanes((c0 != 0) & (c1 != 0))) {
        // A lane's comparison is all ones (-1) where it holds: subtracting it adds one.
        store4(at, c0 - reinterpret_cast<Count4>(c0 != kImmortalCount));
        store4(at + 4, c1 - reinterpret_cast<Count4>(c1 != kImmortalCount));
        i += 8;
        continue;
      }
    }
    const NodeId id = ids[i];
    if (id >= n_slots || (counts[id] == 0 && !alive_[id])) {
      give_back_first(i);
      return i;
    }
    counts[id] += counts[id] != kImmortalCount;
    ++i;
  }
  return ids.size();
}

bool Coords::all_alive(NodeId lo, NodeId hi) const noexcept {
  if (hi < lo) return true;
  if (std::size_t{hi} >= alive_.size()) return false;
  const auto begin = alive_.begin() + static_cast<std::ptrdiff_t>(lo);
  return std::find(begin, begin + (static_cast<std::ptrdiff_t>(hi) - lo + 1), false) ==
         begin + (static_cast<std::ptrdiff_t>(hi) - lo + 1);
}

void Coords::release_all(std::span<const NodeId> ids) noexcept {
  const std::size_t n_slots = alive_.size();
  std::uint32_t* counts = refcount_.data();
  // A slot that is not live has a count of 0, which is passed over like any count
  // of 0.
  std::size_t i = 0;
  while (i < ids.size()) {
    if (i + 8 <= ids.size() && run_of_eight(ids.data() + i, n_slots)) {
      std::uint32_t* at = counts + ids[i];
      for (std::uint32_t* p : {at, at + 4}) {
        const Count4 c = load4(p);
        // Adding an all-ones lane subtracts one.
        store4(p, c + reinterpret_cast<Count4>((c != 0) & (c != kImmortalCount)));
      }
      i += 8;
      continue;
    }
    const NodeId id = ids[i++];
    if (id >= n_slots) continue;
    const std::uint32_t c = counts[id];
    counts[id] = c - (c != 0 && c != kImmortalCount);
  }
}

std::uint64_t Coords::gc() noexcept {
  std::uint64_t collected = 0;
  for (std::size_t i = 0; i < alive_.size(); ++i) {
    if (alive_[i] && refcount_[i] == 0) {
      alive_[i] = false;
      ++collected;
    }
  }
  return collected;
}

std::uint64_t Coords::add_config(std::string name) {
  std::vector<double> copy = configs_[active_];
  config_names_.reserve(config_names_.size() + 1);
  configs_.push_back(std::move(copy));
  config_names_.push_back(std::move(name));
  return configs_.size() - 1;
}

void Coords::select(std::uint64_t index) {
  QUENLITH_VERIFY(index < configs_.size(), "select: index {} ≥ configuration count ({})", index, configs_.size());
  active_ = index;
}

void Coords::set_permutation(std::vector<std::uint32_t> perm) {
  const std::uint64_t cap = capacity();
  QUENLITH_VERIFY(perm.size() == cap, "set_permutation: length {} ≠ capacity {}", perm.size(), cap);
  std::vector<bool> seen(perm.size(), false);
  for (std::uint32_t value : perm) {
    QUENLITH_VERIFY(value < cap, "set_permutation: value {} ≥ capacity {}", value, cap);
    QUENLITH_VERIFY(!seen[value], "set_permutation: duplicate value {}", value);
    seen[value] = true;
  }
  permutation_ = std::move(perm);
}

// ---- text forms ----

std::string Coords::display_text() const {
  const std::uint64_t live = node_count();
  return fmt::format("Coords: dim={}, configs={} (active=\"{}\"), nodes={} ({} collected), permutation: {}", dim_,
                     configs_.size(), active_name(), live, capacity() - live,
                     permutation_ ? "custom" : "identity");
}

std::string Coords::debug_text() const {
  return dump::DebugRecord("Coords")
      .field("dim", std::to_string(dim_))
      .field("configs", dump::debug_quoted_list(config_names_))
      .field("active", std::to_string(active_))
      .field("node_count", std::to_string(node_count()))
      .field("capacity", std::to_string(capacity()))
      .field("permutation", dump::debug_flag(permutation_.has_value()))
      .finish();
}

std::string Coords::dump_text(const dump::DumpOptions& options) const {
  std::vector<std::string> header;
  header.reserve(std::size_t{dim_} + 2);
  header.emplace_back("node");
  for (std::size_t axis = 0; axis < dim_; ++axis) header.emplace_back(dump::axis_title(axis));
  header.emplace_back("refs");

  const std::vector<double>& buffer = configs_[active_];
  std::vector<dump::Row> rows;
  for (std::size_t id = 0; id < alive_.size(); ++id) {
    if (!alive_[id]) continue;
    dump::Row row;
    row.reserve(header.size());
    row.push_back(std::to_string(id));
    for (std::size_t axis = 0; axis < dim_; ++axis)
      row.push_back(dump::format_dump_cell(buffer[id * dim_ + axis], options));
    row.push_back(std::to_string(refcount_[id]));
    rows.push_back(std::move(row));
  }
  return dump::dump_titled_table(display_text(), header, rows, options);
}

// ---- swap record ----

void Coords::encode(store::RecordWriter& w) const {
  w.write_u8(dim_);
  w.write_list(configs_, [](store::RecordWriter& rw, const std::vector<double>& c) { rw.write_f64_list(c); });
  w.write_string_list(config_names_);
  w.write_u64(active_);
  w.write_bool_list(alive_);
  w.write_u32_list(refcount_);
  w.write_optional(permutation_,
                   [](store::RecordWriter& rw, const std::vector<std::uint32_t>& p) { rw.write_u32_list(p); });
}

Coords Coords::decode(store::RecordReader& r) {
  using store::RecordReader;
  Coords c;
  c.dim_ = r.read_u8();
  c.configs_ = r.read_list([](RecordReader& rr) { return rr.read_f64_list(); });
  c.config_names_ = r.read_string_list();
  c.active_ = r.read_u64();
  c.alive_ = r.read_bool_list();
  c.refcount_ = r.read_u32_list();
  c.permutation_ = r.read_optional([](RecordReader& rr) { return rr.read_u32_list(); });

  // The accessors index the buffers by id without checks: a record that does not
  // describe a valid registry is refused rather than trusted.
  const std::uint64_t cap = c.alive_.size();
  RecordReader::check(c.dim_ >= 1, "Coords record: dim is 0");
  RecordReader::check(!c.configs_.empty() && c.configs_.size() == c.config_names_.size(),
                      "Coords record: {} configuration(s) but {} name(s)", c.configs_.size(), c.config_names_.size());
  RecordReader::check(c.active_ < c.configs_.size(), "Coords record: active {} ≥ configuration count ({})", c.active_,
                      c.configs_.size());
  RecordReader::check(cap <= kMaxCapacity, "Coords record: capacity {} exceeds the id space", cap);
  RecordReader::check(c.refcount_.size() == cap, "Coords record: {} count(s) for {} slot(s)", c.refcount_.size(), cap);
  for (std::size_t k = 0; k < c.configs_.size(); ++k)
    RecordReader::check(c.configs_[k].size() == cap * c.dim_, "Coords record: configuration {} holds {} value(s), expected {}",
                        k, c.configs_[k].size(), cap * c.dim_);
  for (std::size_t i = 0; i < cap; ++i)
    RecordReader::check(c.alive_[i] || c.refcount_[i] == 0, "Coords record: collected node {} has count {}", i,
                        c.refcount_[i]);
  if (c.permutation_) {
    const auto& p = *c.permutation_;
    RecordReader::check(p.size() == cap, "Coords record: permutation length {} ≠ capacity {}", p.size(), cap);
    std::vector<bool> seen(p.size(), false);
    for (std::uint32_t v : p) {
      RecordReader::check(v < cap && !seen[v], "Coords record: permutation value {} is out of range or repeated", v);
      seen[v] = true;
    }
  }
  return c;
}

}  // namespace quenlith::containers::mesh
