#pragma once
// Component filtering of a field's zone list, the same for node and element fields.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "dump/debug_text.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::field {

// The zones of `zones` that carry some of `names`, in order: a zone carrying only
// listed names is kept as the same handle (shared), any other is replaced by its
// `select_components(names)`, stored anew; a zone carrying none is dropped.
// "filter_components: no zone carries any of {}" when nothing is left. Zones are
// read one at a time, and a new zone is stored once its source's guard is gone.
template <class Zone>
std::vector<store::Handle<Zone>> filter_components(std::span<const store::Handle<Zone>> zones,
                                                   std::span<const std::string> names) {
  std::vector<store::Handle<Zone>> kept;
  for (const store::Handle<Zone>& h : zones) {
    std::optional<Zone> part;
    {
      store::ReadGuard<Zone> guard = store::read(h);
      const std::size_t listed = count_listed(guard->components(), names);
      if (listed == 0) continue;
      if (listed < guard->component_count()) part.emplace(guard->select_components(names));
    }
    kept.push_back(part ? store::insert(std::move(*part)) : h);
  }
  QUENLITH_VERIFY(!kept.empty(), "filter_components: no zone carries any of {}", dump::debug_quoted_list(names));
  return kept;
}

}  // namespace quenlith::containers::field
