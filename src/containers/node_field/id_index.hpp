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

}  // namespace quenlith::containers::node_field
