#include "ops/io/gmsh/sections_v4.hpp"

#include <vector>

#include "base/error.hpp"
#include "ops/io/gmsh/ascii.hpp"
#include "ops/io/gmsh/binary.hpp"

namespace quenlith::ops::io::gmsh {

namespace {

// The value kinds of the text encoding, and its node and element blocks read value
// by value.
struct TextValues {
  GmshTokenReader& in;
  std::uint64_t size() { return in.next_u64(); }
  std::int64_t integer() { return in.next_i64(); }
  bool flag() { return in.next_u64() != 0; }
  std::uint64_t type_number() { return in.next_u64(); }
  double real() { return in.next_f64(); }

  void node_block(std::uint64_t n_nodes, std::vector<std::uint64_t>& tags, GmshParseState& state) {
    // Grows with the tags actually read: the announced count sizes nothing.
    tags.clear();
    for (std::uint64_t i = 0; i < n_nodes; ++i) tags.push_back(size());
    for (const std::uint64_t tag : tags) {
      const double x = real();
      const double y = real();
      const double z = real();
      state.data.nodes.push_back(GmshNode{tag, {x, y, z}});
    }
  }
  void element_block(std::uint32_t groups, ElementType type, std::uint64_t n_elements, GmshParseState& state) {
    auto& node_tags = state.data.node_tags;
    const std::uint64_t k = containers::mesh::nodes_per_cell(type);
    for (std::uint64_t e = 0; e < n_elements; ++e) {
      size();  // the element tag
      const std::uint64_t first = node_tags.size();
      for (std::uint64_t j = 0; j < k; ++j) node_tags.push_back(size());
      state.add_element(groups, type, first);
    }
  }
};

// The value kinds of the binary encoding; its blocks are fixed-size records, read
// in one go where they lie.
struct BinaryValues {
  GmshBinaryReader& in;
  std::uint64_t size() { return in.read_u64(); }
  std::int64_t integer() { return in.read_i32(); }
  bool flag() { return in.read_i32() != 0; }
  std::uint64_t type_number() { return static_cast<std::uint32_t>(in.read_i32()); }
  double real() { return in.read_f64(); }

  void node_block(std::uint64_t n_nodes, std::vector<std::uint64_t>&, GmshParseState& state) {
    // The block's tags, then their coordinates: 32 bytes a node in all.
    const char* tags = in.at(in.take_records(n_nodes, 32));
    const char* xyz = tags + 8 * n_nodes;
    auto& nodes = state.data.nodes;
    nodes.reserve(nodes.size() + n_nodes);
    for (std::uint64_t i = 0; i < n_nodes; ++i, xyz += 24)
      nodes.push_back(GmshNode{in.u64_at(tags + 8 * i), {in.f64_at(xyz), in.f64_at(xyz + 8), in.f64_at(xyz + 16)}});
  }
  void element_block(std::uint32_t groups, ElementType type, std::uint64_t n_elements, GmshParseState& state) {
    // Records of the element tag and its node tags, sizes all.
    const std::uint64_t record = 8 * (1 + containers::mesh::nodes_per_cell(type));
    const std::size_t first = in.take_records(n_elements, record);
    state.add_binary_elements(groups, type, first + 8, n_elements, record, 8, in.big_endian());
  }
};

// Dimensions count by their low 8 bits.
std::uint8_t low_byte(std::int64_t v) noexcept { return static_cast<std::uint8_t>(static_cast<std::uint64_t>(v)); }

template <class Values>
void entities(Values in, GmshParseState& state) {
  std::uint64_t counts[4];
  for (auto& c : counts) c = in.size();
  for (std::uint8_t dim = 0; dim < 4; ++dim) {
    for (std::uint64_t i = 0; i < counts[dim]; ++i) {
      const std::int64_t tag = in.integer();
      // A point has its coordinates, the others their bounding box: not needed.
      const int n_box = dim == 0 ? 3 : 6;
      for (int k = 0; k < n_box; ++k) in.real();
      const std::uint64_t n_physical = in.size();
      std::vector<std::int64_t> physical;
      for (std::uint64_t k = 0; k < n_physical; ++k) physical.push_back(in.integer());
      if (dim > 0) {
        const std::uint64_t n_bounding = in.size();
        for (std::uint64_t k = 0; k < n_bounding; ++k) in.integer();
      }
      state.set_entity(dim, tag, std::move(physical));
    }
  }
}

template <class Values>
void nodes(Values in, GmshParseState& state) {
  const std::uint64_t n_blocks = in.size();
  for (int k = 0; k < 3; ++k) in.size();  // node count and tag range: only the blocks steer
  std::vector<std::uint64_t> tags;
  for (std::uint64_t b = 0; b < n_blocks; ++b) {
    in.integer();
    in.integer();
    const bool parametric = in.flag();
    const std::uint64_t n_nodes = in.size();
    if (parametric) throw Error::message("gmsh: parametric nodes are not supported");
    in.node_block(n_nodes, tags, state);
  }
}

template <class Values>
void elements(Values in, GmshParseState& state) {
  const std::uint64_t n_blocks = in.size();
  for (int k = 0; k < 3; ++k) in.size();  // element count and tag range: only the blocks steer
  for (std::uint64_t b = 0; b < n_blocks; ++b) {
    const std::int64_t entity_dim = in.integer();
    const std::int64_t entity_tag = in.integer();
    const ElementType type = gmsh_element_type(in.type_number());
    const std::uint64_t n_elements = in.size();
    const std::uint32_t groups = state.entity_groups(low_byte(entity_dim), entity_tag);
    in.element_block(groups, type, n_elements, state);
  }
}

}  // namespace

void read_entities_v4(GmshTokenReader& in, GmshParseState& state) { entities(TextValues{in}, state); }
void read_entities_v4(GmshBinaryReader& in, GmshParseState& state) { entities(BinaryValues{in}, state); }
void read_nodes_v4(GmshTokenReader& in, GmshParseState& state) { nodes(TextValues{in}, state); }
void read_nodes_v4(GmshBinaryReader& in, GmshParseState& state) { nodes(BinaryValues{in}, state); }
void read_elements_v4(GmshTokenReader& in, GmshParseState& state) { elements(TextValues{in}, state); }
void read_elements_v4(GmshBinaryReader& in, GmshParseState& state) { elements(BinaryValues{in}, state); }

}  // namespace quenlith::ops::io::gmsh
