#include "ops/io/gmsh/mesh_data.hpp"

#include <cstring>

#include <fmt/format.h>

namespace quenlith::ops::io::gmsh {

std::uint32_t GmshParseState::intern_name(std::string_view name) {
  const auto it = name_index_.find(name);
  if (it != name_index_.end()) return it->second;
  const auto index = static_cast<std::uint32_t>(data.names.size());
  data.names.emplace_back(name);
  name_index_.emplace(std::string(name), index);
  return index;
}

void GmshParseState::forget_cached_lists() noexcept {
  entity_lists_.clear();
  element_lists_.clear();
}

void GmshParseState::add_element(std::uint32_t groups, ElementType type, std::uint64_t first_tag) {
  if (!data.runs.empty()) {
    GmshElementRun& last = data.runs.back();
    if (last.stride == 0 && last.groups == groups && last.element_type == type &&
        last.first_tag + last.count * containers::mesh::nodes_per_cell(type) == first_tag) {
      ++last.count;
      return;
    }
  }
  data.runs.push_back(GmshElementRun{groups, type, first_tag, 1});
}

void GmshParseState::add_binary_elements(std::uint32_t groups, ElementType type, std::uint64_t offset,
                                         std::uint64_t count, std::uint64_t stride, std::uint8_t tag_bytes,
                                         bool big_endian) {
  if (count == 0) return;
  if (!data.runs.empty()) {
    GmshElementRun& last = data.runs.back();
    // One run needs one stride for all its elements: the one a run of several
    // already has, else the distance between two single elements (2.2 files give
    // every element a block of its own, its header between two records).
    if (last.stride != 0 && last.groups == groups && last.element_type == type && last.tag_bytes == tag_bytes &&
        last.big_endian == big_endian && offset > last.first_tag) {
      const std::uint64_t s = last.count > 1 ? last.stride : count > 1 ? stride : offset - last.first_tag;
      if (last.first_tag + last.count * s == offset && (count == 1 || stride == s)) {
        last.stride = s;
        last.count += count;
        return;
      }
    }
  }
  data.runs.push_back(GmshElementRun{groups, type, offset, count, stride, tag_bytes, big_endian});
}

void GmshMeshData::tags_of(const GmshElementRun& run, std::uint64_t i, std::uint64_t* out) const noexcept {
  const std::uint64_t k = containers::mesh::nodes_per_cell(run.element_type);
  if (run.stride == 0) {
    std::memcpy(out, node_tags.data() + run.first_tag + i * k, k * sizeof(std::uint64_t));
    return;
  }
  const char* p = input.data() + run.first_tag + i * run.stride;
  for (std::uint64_t j = 0; j < k; ++j) {
    if (run.tag_bytes == 4) {
      std::uint32_t v;
      std::memcpy(&v, p + 4 * j, 4);
      if (run.big_endian) v = __builtin_bswap32(v);
      out[j] = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(v)));
    } else {
      std::uint64_t v;
      std::memcpy(&v, p + 8 * j, 8);
      out[j] = run.big_endian ? __builtin_bswap64(v) : v;
    }
  }
}

void GmshParseState::set_physical_name(std::uint8_t dim, std::int64_t tag, std::string_view name) {
  physical_names_[{dim, tag}] = intern_name(name);
  forget_cached_lists();
}

void GmshParseState::set_entity(std::uint8_t dim, std::int64_t tag, std::vector<std::int64_t> physical_tags) {
  entities_[{dim, tag}] = std::move(physical_tags);
  forget_cached_lists();
}

std::uint32_t GmshParseState::physical_group_names(std::uint8_t dim, std::span<const std::int64_t> tags) {
  std::vector<std::uint32_t> list;
  if (tags.empty()) list.push_back(intern_name("<ungrouped>"));
  for (const std::int64_t tag : tags) {
    const auto it = physical_names_.find({dim, tag});
    list.push_back(it != physical_names_.end() ? it->second : intern_name(fmt::format("physical {}", tag)));
  }
  const auto [it, inserted] = list_index_.try_emplace(list, static_cast<std::uint32_t>(data.group_lists.size()));
  if (inserted) data.group_lists.push_back(std::move(list));
  return it->second;
}

std::uint32_t GmshParseState::entity_groups(std::uint8_t dim, std::int64_t entity_tag) {
  const Key key{dim, entity_tag};
  if (const auto hit = entity_lists_.find(key); hit != entity_lists_.end()) return hit->second;
  const auto entity = entities_.find(key);
  const std::span<const std::int64_t> tags =
      entity == entities_.end() ? std::span<const std::int64_t>() : std::span<const std::int64_t>(entity->second);
  const std::uint32_t index = physical_group_names(dim, tags);
  entity_lists_.emplace(key, index);
  return index;
}

std::uint32_t GmshParseState::element_groups(std::uint8_t dim, std::optional<std::int64_t> tag) {
  const auto key = std::make_pair(dim, tag);
  if (const auto hit = element_lists_.find(key); hit != element_lists_.end()) return hit->second;
  const std::uint32_t index =
      tag ? physical_group_names(dim, std::span<const std::int64_t>(&*tag, 1)) : physical_group_names(dim, {});
  element_lists_.emplace(key, index);
  return index;
}

}  // namespace quenlith::ops::io::gmsh
