#include "ops/io/gmsh/binary.hpp"

#include <cstring>
#include <string>

#include "base/error.hpp"
#include "ops/io/gmsh/ascii.hpp"
#include "ops/io/gmsh/lexical.hpp"
#include "ops/io/gmsh/sections_v4.hpp"

namespace quenlith::ops::io::gmsh {

namespace {

void read_nodes_v2(GmshBinaryReader& r, GmshParseState& state) {
  const std::uint64_t n_nodes = gmsh_parse_count(r.next_line());
  // Records of an int tag and three doubles, decoded where they lie.
  const char* p = r.at(r.take_records(n_nodes, 28));
  auto& nodes = state.data.nodes;
  nodes.reserve(nodes.size() + n_nodes);
  for (std::uint64_t i = 0; i < n_nodes; ++i, p += 28) {
    const std::int64_t tag = r.i32_at(p);
    nodes.push_back(GmshNode{static_cast<std::uint64_t>(tag), {r.f64_at(p + 4), r.f64_at(p + 12), r.f64_at(p + 20)}});
  }
}

void read_elements_v2(GmshBinaryReader& r, GmshParseState& state) {
  const std::uint64_t total = gmsh_parse_count(r.next_line());
  auto& node_tags = state.data.node_tags;
  // Signed: a negative block count moves it back, and the walk then runs on
  // until the data ends.
  __int128 read = 0;
  struct CachedGroups {
    std::uint8_t dim;
    std::optional<std::int64_t> physical;
    std::uint32_t groups;
  };
  std::optional<CachedGroups> cached;
  while (read < static_cast<__int128>(total)) {
    const ElementType type = gmsh_element_type(static_cast<std::uint32_t>(r.read_i32()));
    const std::int32_t n_in_block = r.read_i32();
    const std::int32_t n_tags = r.read_i32();
    const std::uint64_t k = containers::mesh::nodes_per_cell(type);
    const auto dim = static_cast<std::uint8_t>(containers::mesh::ref_dim(type));
    if (n_in_block > 0 && n_tags >= 0) {
      // Records of the element number, the tags and the node tags: their node tags
      // are read where they lie, and consecutive elements of one group list make
      // one run.
      const std::uint64_t record = 4 * (1 + static_cast<std::uint64_t>(n_tags) + k);
      const std::size_t first = r.take_records(static_cast<std::uint64_t>(n_in_block), record);
      const auto physical_of = [&](std::uint64_t e) -> std::optional<std::int64_t> {
        if (n_tags > 0)
          if (const std::int32_t tag = r.i32_at(r.at(first + e * record + 4)); tag != 0) return tag;
        return std::nullopt;
      };
      std::optional<std::int64_t> last_physical = physical_of(0);
      // Blocks of one element each are the common case: the group list of the last
      // block is kept, rather than looked up again.
      if (!cached || cached->dim != dim || cached->physical != last_physical)
        cached = CachedGroups{dim, last_physical, state.element_groups(dim, last_physical)};
      std::uint32_t groups = cached->groups;
      std::uint64_t run_start = 0;
      for (std::int32_t e = 1; e < n_in_block; ++e) {
        const std::optional<std::int64_t> physical = physical_of(e);
        if (physical != last_physical) {
          state.add_binary_elements(groups, type, first + run_start * record + 4 * (1 + n_tags), e - run_start,
                                    record, 4, r.big_endian());
          last_physical = physical;
          groups = state.element_groups(dim, physical);
          cached = CachedGroups{dim, physical, groups};
          run_start = e;
        }
      }
      state.add_binary_elements(groups, type, first + run_start * record + 4 * (1 + n_tags), n_in_block - run_start,
                                record, 4, r.big_endian());
      read += n_in_block;
      continue;
    }
    for (std::int32_t e = 0; e < n_in_block; ++e) {
      r.read_i32();
      std::optional<std::int64_t> physical;
      for (std::int32_t i = 0; i < n_tags; ++i) {
        const std::int32_t tag = r.read_i32();
        if (i == 0 && tag != 0) physical = tag;
      }
      const std::uint64_t first = node_tags.size();
      for (std::uint64_t j = 0; j < k; ++j)
        node_tags.push_back(static_cast<std::uint64_t>(static_cast<std::int64_t>(r.read_i32())));
      state.add_element(state.element_groups(dim, physical), type, first);
    }
    read += n_in_block;
  }
}

void read_physical_names(GmshBinaryReader& r, GmshParseState& state) {
  const std::uint64_t count = gmsh_parse_count(r.next_line());
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string_view line = r.next_line();
    if (!is_utf8(line)) throw Error::message("gmsh: bad name line");
    parse_physical_name_line(line, state);
  }
  r.skip_to_end("$EndPhysicalNames");
}

}  // namespace

std::size_t GmshBinaryReader::take_records(std::uint64_t count, std::uint64_t size) {
  if (size != 0 && count > remaining() / size) throw Error::message("gmsh: truncated binary data");
  const std::size_t at = position_;
  position_ += count * size;
  return at;
}

const char* GmshBinaryReader::take(std::size_t n) {
  if (remaining() < n) throw Error::message("gmsh: truncated binary data");
  const char* p = data_.data() + position_;
  position_ += n;
  return p;
}

std::int32_t GmshBinaryReader::read_i32() {
  std::uint32_t v;
  std::memcpy(&v, take(4), 4);
  if (big_endian_) v = __builtin_bswap32(v);
  return static_cast<std::int32_t>(v);
}

std::uint64_t GmshBinaryReader::read_u64() {
  std::uint64_t v;
  std::memcpy(&v, take(8), 8);
  if (big_endian_) v = __builtin_bswap64(v);
  return v;
}

double GmshBinaryReader::read_f64() {
  const std::uint64_t bits = read_u64();
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

std::uint32_t GmshBinaryReader::read_marker() {
  std::uint32_t v;
  std::memcpy(&v, take(4), 4);
  return v;
}

std::string_view GmshBinaryReader::next_line() {
  if (at_end()) throw Error::message("gmsh: unexpected end of file");
  const char* begin = data_.data() + position_;
  const std::size_t left = data_.size() - position_;
  const void* lf = std::memchr(begin, '\n', left);
  const std::size_t len = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : left;
  position_ += lf ? len + 1 : len;
  return trim_ascii(std::string_view(begin, len));
}

void GmshBinaryReader::skip_to_end(std::string_view end_line) {
  while (next_line() != end_line) {
  }
}

std::uint64_t gmsh_parse_count(std::string_view line) {
  if (is_utf8(line))
    if (const auto v = parse_u64(trim_unicode(line))) return *v;
  throw Error::message("gmsh: expected an integer count");
}

GmshMeshData parse_gmsh_binary(std::string_view data, std::size_t after_header, std::uint32_t major) {
  GmshBinaryReader r(data, after_header);
  // The marker is the int 1 as the writer stores it.
  unsigned char marker[4];
  const std::uint32_t raw = r.read_marker();
  std::memcpy(marker, &raw, 4);
  if (marker[0] == 1 && marker[1] == 0 && marker[2] == 0 && marker[3] == 0)
    r.set_big_endian(false);
  else if (marker[0] == 0 && marker[1] == 0 && marker[2] == 0 && marker[3] == 1)
    r.set_big_endian(true);
  else
    throw Error::message("gmsh: unrecognized binary endianness marker");
  r.skip_to_end("$EndMeshFormat");

  GmshParseState state;
  state.data.input = data;
  const bool v2 = major == 2;
  while (!r.at_end()) {
    const std::string_view line = r.next_line();
    if (line.empty() || line[0] != '$' || is_end_line(line)) continue;
    if (line == "$Nodes") {
      v2 ? read_nodes_v2(r, state) : read_nodes_v4(r, state);
      r.skip_to_end("$EndNodes");
    } else if (line == "$Elements") {
      v2 ? read_elements_v2(r, state) : read_elements_v4(r, state);
      r.skip_to_end("$EndElements");
    } else if (line == "$Entities" && major == 4) {
      read_entities_v4(r, state);
      r.skip_to_end("$EndEntities");
    } else if (line == "$PhysicalNames") {
      read_physical_names(r, state);
    } else {
      r.skip_to_end(std::string("$End").append(line.substr(1)));
    }
  }
  return std::move(state.data);
}

}  // namespace quenlith::ops::io::gmsh
