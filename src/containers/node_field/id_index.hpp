#pragma once
// IdIndex: node id -> first position among a run of ids, for bulk work over many
// nodes. Ids of one Coords are dense (its slots are numbered from 0), so the map is a
// flat array indexed by id whenever the largest id is not far above the number of
// ids; sparse ids fall back to a hash map.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "containers/mesh/coords.hpp"

namespace quenlith::containers::node_field {

class IdIndex {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // Room for ids up to `max_id`, about `count` of them.
  IdIndex(std::size_t count, mesh::NodeId max_id) {
    if (std::uint64_t{max_id} < 4 * std::uint64_t{count} + 4096)
      dense_.assign(std::size_t{max_id} + 1, kNone);
    else
      sparse_.reserve(count);
  }
  // An index sized for the ids of `ids`.
  static IdIndex for_ids(std::span<const mesh::NodeId> ids) {
    mesh::NodeId max_id = 0;
    for (mesh::NodeId id : ids) max_id = id > max_id ? id : max_id;
    return IdIndex(ids.size(), max_id);
  }

  // The position already kept for `id`, else keeps `position` and returns it; the
  // flag tells whether it was new.
  std::pair<std::uint32_t, bool> try_insert(mesh::NodeId id, std::uint32_t position) {
    if (id < dense_.size()) {
      std::uint32_t& slot = dense_[id];
      if (slot != kNone) return {slot, false};
      slot = position;
      return {position, true};
    }
    auto [it, inserted] = sparse_.try_emplace(id, position);
    return {it->second, inserted};
  }
  std::optional<std::uint32_t> find(mesh::NodeId id) const {
    if (id < dense_.size()) {
      if (dense_[id] == kNone) return std::nullopt;
      return dense_[id];
    }
    auto it = sparse_.find(id);
    if (it == sparse_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::vector<std::uint32_t> dense_;
  std::unordered_map<mesh::NodeId, std::uint32_t> sparse_;
};

// Whether some id occurs twice. Increasing ids (the usual order of generated
// nodes) are told by one pass; otherwise one byte per id when the ids are dense
// enough (consecutive ids touch distinct bytes, so no store waits on the one
// before), else a hash set.
inline bool has_repeated_ids(std::span<const mesh::NodeId> ids) {
  bool increasing = true;
  mesh::NodeId max_id = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    increasing &= i == 0 || ids[i - 1] < ids[i];
    max_id = ids[i] > max_id ? ids[i] : max_id;
  }
  if (increasing) return false;
  if (std::uint64_t{max_id} < 16 * std::uint64_t{ids.size()} + 65536) {
    std::vector<std::uint8_t> seen(std::size_t{max_id} + 1, 0);
    std::uint8_t again = 0;
    for (mesh::NodeId id : ids) {
      again |= seen[id];
      seen[id] = 1;
    }
    return again != 0;
  }
  std::unordered_set<mesh::NodeId> seen;
  seen.reserve(ids.size());
  for (mesh::NodeId id : ids)
    if (!seen.insert(id).second) return true;
  return false;
}

}  // namespace quenlith::containers::node_field
