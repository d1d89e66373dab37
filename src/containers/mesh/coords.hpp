#pragma once
// Coords: the node registry shared by a family of meshes.
//
// A fixed spatial dimension `dim` (1 to 255), one or more named coordinate
// configurations of which one is active, and one slot per node ever added with a
// live flag and a reference count. A node's id is its slot index: ids are handed
// out in order (the next id is the capacity) and never reused.
//
// Stored arrays (capacity = number of slots ever allocated, live or collected):
//   configs_[k]      dim * capacity doubles, slot-major: slot i at [i*dim, i*dim + dim)
//   config_names_[k] the name of configuration k; configs_[0] is "default"
//   alive_           capacity flags
//   refcount_        capacity counts
//   permutation_     absent (identity) or capacity values, each of 0..capacity-1 once:
//                    perm[i] is the rank of node i in the renumbering
//
// Invariants kept by every operation: at least one configuration, configurations
// are only appended, active_ < number of configurations, every buffer has
// dim * capacity values, a collected slot (alive false) has count 0 and is never
// revived, and a present permutation is a permutation of 0..capacity-1.
//
// Node states: held (live, count >= 1), unreferenced (live, count 0: still a
// node, can be acquired again), collected (by `gc` only, for good).
//
// Reference counts saturate at kImmortalCount: a count that reaches it never
// changes again (the node becomes immortal), so a count that overflowed can never
// fall to 0 while holders remain and let `gc` collect a node in use.
//
// Every operation throws Error (Message kind) with the texts below; a
// failing operation changes nothing. The class holds no handle and no lock:
// callers reach a stored Coords through the store's read and write guards
// (reads under a read guard, every change, counts included, under a write guard).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dump/dump_options.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::mesh {

using NodeId = std::uint32_t;

class Coords {
 public:
  // A count at this value never changes again.
  static constexpr std::uint32_t kImmortalCount = 0xFFFFFFFFu;
  // Ids are 32-bit: at most 2^32 slots.
  static constexpr std::uint64_t kMaxCapacity = std::uint64_t{1} << 32;
  // The dimension is one byte.
  static constexpr std::uint64_t kMaxDim = 255;

  // One empty configuration "default", active 0, no slot, no permutation.
  // "dim must be ≥ 1" when dim is 0.
  explicit Coords(std::uint8_t dim);

  std::uint8_t dim() const noexcept { return dim_; }
  std::uint64_t active() const noexcept { return active_; }
  std::uint64_t config_count() const noexcept { return configs_.size(); }
  // Number of live slots (walks every slot).
  std::uint64_t node_count() const noexcept;
  // Number of slots, live and collected.
  std::uint64_t capacity() const noexcept { return alive_.size(); }
  // Copy of the configuration names, by index.
  std::vector<std::string> names() const { return config_names_; }
  const std::string& active_name() const noexcept { return config_names_[active_]; }

  // True when id < capacity and the slot is live; never an error.
  bool is_alive(NodeId id) const noexcept { return id < alive_.size() && alive_[id]; }
  // The count of a live id; 0 for a collected id or one at or beyond the capacity.
  std::uint32_t refcount(NodeId id) const noexcept { return is_alive(id) ? refcount_[id] : 0; }

  // Copy of the node's coordinates in the active configuration (dim values).
  // "node {} not found or collected" when the id is not live.
  std::vector<double> coord(NodeId id) const;
  // `coord` of each id, in order; the first failing id stops it with its error.
  std::vector<std::vector<double>> coords_of(std::span<const NodeId> ids) const;
  // The active configuration's whole buffer (dim * capacity values, collected slots
  // included), lent for as long as the caller's guard is held and nothing changes.
  std::span<const double> active_buffer() const noexcept { return configs_[active_]; }

  // Copy of the permutation; nullopt when none is set (an empty one is not none).
  std::optional<std::vector<std::uint32_t>> permutation() const { return permutation_; }
  bool has_permutation() const noexcept { return permutation_.has_value(); }

  // Appends a live node with count 1 (the caller's reference), writing the
  // coordinates into every configuration; a set permutation gets the new id as its
  // own value (the node ranks last). Returns the new id (the old capacity).
  // "add_node: expected {} coordinates, got {}"; "add_node: node id space exhausted"
  // once 2^32 slots exist.
  NodeId add_node(std::span<const double> coords);
  // Appends coords.size() / dim nodes as add_node would one by one (each live with
  // count 1, the coordinates written into every configuration, a set permutation
  // extended) and returns the first new id. With `counts` (one per node), node i
  // starts with counts[i] references instead: those its caller holds. Errors:
  // "add_nodes: {} value(s) are not whole nodes of {} coordinates", "add_nodes: {}
  // count(s) for {} node(s)"; when the id space runs out part-way, the nodes that
  // fit are added and "add_node: node id space exhausted" is thrown.
  NodeId add_nodes(std::span<const double> coords, std::span<const std::uint32_t> counts = {});
  // Overwrites the node's coordinates in the active configuration only.
  // "node {} not found or collected", then "set_coord: expected {} coordinates, got {}".
  void set_coord(NodeId id, std::span<const double> coords);
  // One more reference; "node {} not found or collected". Saturates for good at
  // kImmortalCount.
  void incref(NodeId id);
  // incref of an id the caller has just found alive: no check, for bulk loops.
  void incref_alive(NodeId id) noexcept {
    if (refcount_[id] != kImmortalCount) ++refcount_[id];
  }
  // One reference less; "node {} not found or collected", "decref: refcount already
  // zero for node {}" (the count stays 0). An immortal count stays as it is.
  void decref(NodeId id);
  // incref of every id, in order, when every one is live; returns ids.size() then.
  // Otherwise gives back what it took (an immortal count stays immortal) and
  // returns the position of the first id that is not live. For bulk loops.
  std::size_t incref_all(std::span<const NodeId> ids) noexcept;
  // Whether every id of [lo, hi] is live (false for an id at or beyond the capacity).
  bool all_alive(NodeId lo, NodeId hi) const noexcept;
  // One reference less for every id, passing over (silently) an id that is not live
  // or whose count is already 0; an immortal count stays. What a holder that lets
  // go of many references wants, where a failure must not stop the rest.
  void release_all(std::span<const NodeId> ids) noexcept;
  // Collects every live node whose count is 0; returns how many. Coordinates stay,
  // the capacity does not change, collected ids are never handed out again.
  std::uint64_t gc() noexcept;
  // Appends a copy of the active buffer under `name` (not checked: empty or
  // repeated names are fine) and returns its index; the active one stays.
  std::uint64_t add_config(std::string name);
  // "select: index {} ≥ configuration count ({})".
  void select(std::uint64_t index);
  // Checks in order, stopping at the first failure with the old permutation kept:
  // "set_permutation: length {} ≠ capacity {}", then in list order
  // "set_permutation: value {} ≥ capacity {}" / "set_permutation: duplicate value {}".
  void set_permutation(std::vector<std::uint32_t> perm);
  void clear_permutation() noexcept { permutation_.reset(); }

  // Text forms.
  // "Coords: dim={}, configs={} (active=\"{}\"), nodes={} ({} collected), permutation: identity|custom"
  std::string display_text() const;
  // Coords { dim: 2, configs: ["default"], active: 0, node_count: 4, capacity: 4, permutation: false }
  std::string debug_text() const;
  // The display text, a line feed and the table node | x | y ... | refs of the live
  // nodes in id order. Throws (number formatting) for a precision above 65535 when
  // there is at least one live node.
  std::string dump_text(const dump::DumpOptions& options) const;

  // The swap record: the seven fields in declaration order.
  void encode(store::RecordWriter& w) const;
  // Its inverse. Also rejects a record that breaks the invariants above (buffer
  // lengths, active index, permutation...), since every accessor indexes the
  // buffers by id without further checks.
  static Coords decode(store::RecordReader& r);

 private:
  Coords() = default;
  void check_live(NodeId id) const;

  std::uint8_t dim_ = 1;
  std::vector<std::vector<double>> configs_;
  std::vector<std::string> config_names_;
  std::uint64_t active_ = 0;
  std::vector<bool> alive_;
  std::vector<std::uint32_t> refcount_;
  std::optional<std::vector<std::uint32_t>> permutation_;
};

}  // namespace quenlith::containers::mesh

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::mesh::Coords> {
  static constexpr std::string_view type_path = store::type_path::coords;
  static constexpr bool writable = true;
  static void encode(const containers::mesh::Coords& c, store::RecordWriter& w) { c.encode(w); }
  static containers::mesh::Coords decode(store::RecordReader& r) { return containers::mesh::Coords::decode(r); }
  // A Coords is never a container item, so its debug text has a single form.
  static void debug_text(const containers::mesh::Coords& c, bool /*alternate*/, std::string& out) {
    out += c.debug_text();
  }
};
