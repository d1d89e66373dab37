#include "ops/mesher/gmsh/binary.hpp"

#include <cstring>
#include <string>

#include "base/error.hpp"
#include "ops/mesher/gmsh/ascii.hpp"
#include "ops/mesher/gmsh/lexical.hpp"
#include "ops/mesher/gmsh/sections_v4.hpp"

namespace quenlith::ops::mesher::gmsh {

namespace {

void read_nodes_v2(GmshBinaryReader& r, GmshParseState& state) {
  const std::uint64_t n_nodes = gmsh_parse_count(r.next_line());
  for (std::uint64_t i = 0; i < n_nodes; ++i) {
    const std::int64_t tag = r.read_i32();
    const double x = r.read_f64();
    const double y = r.read_f64();
    const double z = r.read_f64();
    state.data.nodes.push_back(GmshNode{static_cast<std::uint64_t>(tag), {x, y, z}});
  }
}

void read_elements_v2(GmshBinaryReader& r, GmshParseState& state) {
  const std::uint64_t total = gmsh_parse_count(r.next_line());
  auto& node_tags = state.data.node_tags;
  // Signed: a negative block count moves it back, and the walk then runs on
  // until the data ends.
  __int128 read = 0;
  while (read < static_cast<__int128>(total)) {
    const ElementType type = gmsh_element_type(static_cast<std::uint32_t>(r.read_i32()));
    const std::int32_t n_in_block = r.read_i32();
    const std::int32_t n_tags = r.read_i32();
    const std::uint64_t k = containers::mesh::nodes_per_cell(type);
    const auto dim = static_cast<std::uint8_t>(containers::mesh::ref_dim(type));
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

}  // namespace quenlith::ops::mesher::gmsh
