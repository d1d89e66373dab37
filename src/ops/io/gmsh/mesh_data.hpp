#pragma once
// What the gmsh parsers produce and share while they read: the elements and nodes
// of a file (`GmshMeshData`) and the maps that name physical groups.
//
// Storage, sized only by what has been read (never by a count a file announces):
//   runs         the elements in file order, as runs of consecutive elements of one
//                type and one group list (a whole 4.1 block is one run)
//   node_tags    the node tags of the text encoding, element after element: element
//                i of a run holds its k = nodes_per_cell(type) tags from
//                first_tag + i * k
//   input        the binary encoding's tags are not copied: a run of binary records
//                names where they lie in the input, which the caller keeps until
//                the data is dropped
//   names        the distinct group names, each kept once
//   group_lists  the distinct lists of group names, as indices into `names`; an
//                element names its list by index. A long name is thus stored once,
//                however many elements or physical tags carry it.
//   nodes        (tag, x, y, z) in reading order; of two records with one tag the
//                later one counts
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "containers/mesh/element_type.hpp"
#include "ops/io/gmsh/catalogue.hpp"

namespace quenlith::ops::io::gmsh {

struct GmshElementRun {
  std::uint32_t groups;  // index into GmshMeshData::group_lists; never an empty list
  ElementType element_type;
  // With stride 0: offset into GmshMeshData::node_tags of the first element's tags.
  // Otherwise: byte offset in GmshMeshData::input of the first element's first tag.
  std::uint64_t first_tag;
  std::uint64_t count;  // elements in the run, at least 1
  // Binary records: bytes from one element's first tag to the next's (0 for tags in
  // node_tags), bytes per tag (4: a signed int widened with its sign; 8: a size),
  // and the byte order.
  std::uint64_t stride = 0;
  std::uint8_t tag_bytes = 8;
  bool big_endian = false;
};

struct GmshNode {
  std::uint64_t tag;
  std::array<double, 3> xyz;
};

struct GmshMeshData {
  std::vector<GmshElementRun> runs;
  std::vector<std::uint64_t> node_tags;
  std::string_view input;  // lent: the bytes binary runs point into
  std::vector<std::string> names;
  std::vector<std::vector<std::uint32_t>> group_lists;
  std::vector<GmshNode> nodes;

  // The k node tags of element i of a run, into out[0, k).
  void tags_of(const GmshElementRun& run, std::uint64_t i, std::uint64_t* out) const noexcept;
  // The run's group names, as indices into `names`, in the order of its tags.
  const std::vector<std::uint32_t>& groups_of(const GmshElementRun& run) const noexcept {
    return group_lists[run.groups];
  }
  std::uint64_t element_count() const noexcept {
    std::uint64_t n = 0;
    for (const GmshElementRun& run : runs) n += run.count;
    return n;
  }
};

// The state the section readers share: the result being built, the physical-name
// map and (4.1) the entity map, which name the groups of the elements read after
// them. Dimensions are kept as their low 8 bits.
class GmshParseState {
 public:
  GmshMeshData data;

  // Adds or replaces the name of (dim, tag); group lists made before keep the names
  // they had.
  void set_physical_name(std::uint8_t dim, std::int64_t tag, std::string_view name);

  // Entity (dimension, tag) -> its physical tags; a later entity replaces an earlier one.
  void set_entity(std::uint8_t dim, std::int64_t tag, std::vector<std::int64_t> physical_tags);

  // The group list of a 4.1 element block: the physical tags of its entity, named in
  // dimension `dim`; "<ungrouped>" alone for an unknown entity or one without tags.
  std::uint32_t entity_groups(std::uint8_t dim, std::int64_t entity_tag);
  // The group list of a 2.2 element: its physical tag named in the reference
  // dimension of its type, or "<ungrouped>" alone without a tag.
  std::uint32_t element_groups(std::uint8_t dim, std::optional<std::int64_t> tag);

  // Appends an element whose node tags were pushed onto data.node_tags from `first_tag`.
  void add_element(std::uint32_t groups, ElementType type, std::uint64_t first_tag);
  // Appends `count` elements of binary records whose tags lie in data.input (see
  // GmshElementRun), the first one's first tag at byte `offset`.
  void add_binary_elements(std::uint32_t groups, ElementType type, std::uint64_t offset, std::uint64_t count,
                           std::uint64_t stride, std::uint8_t tag_bytes, bool big_endian);

 private:
  using Key = std::pair<std::uint8_t, std::int64_t>;
  // One name per tag in order, or "<ungrouped>" alone; interned.
  std::uint32_t physical_group_names(std::uint8_t dim, std::span<const std::int64_t> tags);
  std::uint32_t intern_name(std::string_view name);
  // Both caches depend on the names and entities known so far.
  void forget_cached_lists() noexcept;

  std::map<Key, std::uint32_t> physical_names_;  // -> index into data.names
  std::map<Key, std::vector<std::int64_t>> entities_;
  std::map<std::string, std::uint32_t, std::less<>> name_index_;
  std::map<std::vector<std::uint32_t>, std::uint32_t> list_index_;
  std::map<Key, std::uint32_t> entity_lists_;
  std::map<std::pair<std::uint8_t, std::optional<std::int64_t>>, std::uint32_t> element_lists_;
};

}  // namespace quenlith::ops::io::gmsh
