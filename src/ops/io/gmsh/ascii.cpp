#include "ops/io/gmsh/ascii.hpp"

#include <cstring>
#include <map>
#include <string>

#include "base/error.hpp"
#include "ops/io/gmsh/lexical.hpp"
#include "ops/io/gmsh/sections_v4.hpp"

namespace quenlith::ops::io::gmsh {

namespace {

// The lines of a text: cut at each line feed (a carriage return before it goes with
// it, by trimming); the last line may lack its line feed.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) noexcept : text_(text) {}
  bool done() const noexcept { return pos_ >= text_.size(); }
  // Offset of the next line's first byte.
  std::size_t position() const noexcept { return pos_; }
  std::string_view next() noexcept {
    const char* begin = text_.data() + pos_;
    const std::size_t left = text_.size() - pos_;
    const void* lf = std::memchr(begin, '\n', left);
    const std::size_t len = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : left;
    pos_ += lf ? len + 1 : len;
    return {begin, len};
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Section name -> body text (from the line after the section line to the start of
// its end line, or to the end of the text).
std::map<std::string_view, std::string_view> cut_sections(std::string_view text) {
  std::map<std::string_view, std::string_view> sections;
  LineCursor lines(text);
  while (!lines.done()) {
    const std::string_view trimmed = trim_unicode(lines.next());
    if (trimmed.empty() || trimmed[0] != '$' || is_end_line(trimmed)) continue;
    const std::string_view name = trimmed.substr(1);
    const std::size_t body_begin = lines.position();
    std::size_t body_end = text.size();
    while (!lines.done()) {
      const std::size_t line_begin = lines.position();
      const std::string_view line = trim_unicode(lines.next());
      if (line.size() == name.size() + 4 && is_end_line(line) && line.substr(4) == name) {
        body_end = line_begin;
        break;
      }
    }
    sections.insert_or_assign(name, text.substr(body_begin, body_end - body_begin));
  }
  return sections;
}

void read_physical_names(std::string_view body, GmshParseState& state) {
  LineCursor lines(body);
  auto next_entry = [&]() -> std::string_view {
    while (!lines.done()) {
      const std::string_view line = trim_unicode(lines.next());
      if (!line.empty()) return line;
    }
    return {};
  };
  const std::string_view count_line = next_entry();
  if (count_line.empty()) throw Error::message("gmsh: empty $PhysicalNames");
  const auto count = parse_u64(count_line);
  if (!count) throw Error::message("gmsh: bad $PhysicalNames count");
  for (std::uint64_t i = 0; i < *count; ++i) {
    const std::string_view line = next_entry();
    if (line.empty()) throw Error::message("gmsh: truncated $PhysicalNames");
    parse_physical_name_line(line, state);
  }
}

void read_nodes_v2(GmshTokenReader& t, GmshParseState& state) {
  const std::uint64_t n_nodes = t.next_u64();
  for (std::uint64_t i = 0; i < n_nodes; ++i) {
    const std::uint64_t tag = t.next_u64();
    const double x = t.next_f64();
    const double y = t.next_f64();
    const double z = t.next_f64();
    state.data.nodes.push_back(GmshNode{tag, {x, y, z}});
  }
}

void read_elements_v2(GmshTokenReader& t, GmshParseState& state) {
  const std::uint64_t n_elements = t.next_u64();
  auto& node_tags = state.data.node_tags;
  for (std::uint64_t e = 0; e < n_elements; ++e) {
    t.next_u64();
    const ElementType type = gmsh_element_type(t.next_u64());
    const std::uint64_t n_tags = t.next_u64();
    std::optional<std::int64_t> physical;
    for (std::uint64_t i = 0; i < n_tags; ++i) {
      const std::int64_t tag = t.next_i64();
      if (i == 0 && tag != 0) physical = tag;
    }
    const std::uint64_t first = node_tags.size();
    const std::uint64_t k = containers::mesh::nodes_per_cell(type);
    for (std::uint64_t j = 0; j < k; ++j) node_tags.push_back(t.next_u64());
    const auto dim = static_cast<std::uint8_t>(containers::mesh::ref_dim(type));
    state.add_element(state.element_groups(dim, physical), type, first);
  }
}

}  // namespace

std::string_view GmshTokenReader::next() {
  const auto token = cursor_.next();
  if (!token) throw Error::message("gmsh: unexpected end of section");
  return *token;
}

std::uint64_t GmshTokenReader::next_u64() {
  const std::string_view token = next();
  if (const auto v = parse_u64(token)) return *v;
  throw Error::message("gmsh: expected an integer, got {}", token);
}

std::int64_t GmshTokenReader::next_i64() {
  const std::string_view token = next();
  if (const auto v = parse_i64(token)) return *v;
  throw Error::message("gmsh: expected an integer, got {}", token);
}

double GmshTokenReader::next_f64() {
  const std::string_view token = next();
  if (const auto v = parse_f64(token)) return *v;
  throw Error::message("gmsh: expected a number, got {}", token);
}

void parse_physical_name_line(std::string_view line, GmshParseState& state) {
  const std::size_t open = line.find('"');
  if (open == std::string_view::npos) throw Error::message("gmsh: $PhysicalNames entry without a quoted name");
  const std::size_t close = line.rfind('"');
  if (close == open) throw Error::message("gmsh: $PhysicalNames entry without a closing quote");
  const std::string_view name = line.substr(open + 1, close - open - 1);
  TokenCursor head(line.substr(0, open));
  const auto dim_token = head.next();
  const auto dim = dim_token ? parse_u64(*dim_token) : std::nullopt;
  if (!dim || *dim > 255) throw Error::message("gmsh: $PhysicalNames entry without a dimension");
  const auto tag_token = head.next();
  const auto tag = tag_token ? parse_i64(*tag_token) : std::nullopt;
  if (!tag) throw Error::message("gmsh: $PhysicalNames entry without a tag");
  state.set_physical_name(static_cast<std::uint8_t>(*dim), *tag, name);
}

GmshMeshData parse_gmsh_ascii(std::string_view text) {
  const auto sections = cut_sections(text);
  const auto format = sections.find("MeshFormat");
  if (format == sections.end()) throw Error::message("gmsh: missing $MeshFormat (is this a .msh file?)");
  const std::string_view version = GmshTokenReader(format->second).next();

  GmshParseState state;
  if (const auto names = sections.find("PhysicalNames"); names != sections.end())
    read_physical_names(names->second, state);

  const std::string_view major = version.substr(0, version.find('.'));
  const bool v4 = major == "4";
  if (!v4 && major != "2") throw Error::message("gmsh: unsupported MSH version {} (supported: 2.2, 4.1)", version);

  if (v4) {
    if (const auto entities = sections.find("Entities"); entities != sections.end())
      {
      GmshTokenReader tokens(entities->second);
      read_entities_v4(tokens, state);
    }
  }
  const auto nodes = sections.find("Nodes");
  if (nodes == sections.end()) throw Error::message("gmsh: missing $Nodes");
  GmshTokenReader node_tokens(nodes->second);
  v4 ? read_nodes_v4(node_tokens, state) : read_nodes_v2(node_tokens, state);
  const auto elements = sections.find("Elements");
  if (elements == sections.end()) throw Error::message("gmsh: missing $Elements");
  GmshTokenReader element_tokens(elements->second);
  v4 ? read_elements_v4(element_tokens, state) : read_elements_v2(element_tokens, state);
  return std::move(state.data);
}

}  // namespace quenlith::ops::io::gmsh
