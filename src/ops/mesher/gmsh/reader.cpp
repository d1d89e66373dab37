#include "ops/mesher/gmsh/reader.hpp"

#include <array>
#include <limits>
#include <optional>
#include <unordered_map>

#include "base/error.hpp"
#include "containers/mesh/node.hpp"
#include "ops/mesher/gmsh/ascii.hpp"
#include "ops/mesher/gmsh/binary.hpp"
#include "ops/mesher/gmsh/catalogue.hpp"
#include "ops/mesher/gmsh/group_builder.hpp"
#include "ops/mesher/gmsh/lexical.hpp"
#include "ops/mesher/gmsh/mesh_data.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "store/swap_file.hpp"

namespace quenlith::ops::mesher::gmsh {

namespace {

using containers::mesh::Coords;
using containers::mesh::Node;
using containers::mesh::NodeId;

// Offset just past the line that starts at `begin` (past its line feed, or the end).
std::size_t line_end(std::string_view bytes, std::size_t begin, std::string_view* line) noexcept {
  const std::size_t lf = bytes.find('\n', begin);
  const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
  *line = bytes.substr(begin, end - begin);
  return lf == std::string_view::npos ? bytes.size() : lf + 1;
}

struct Header {
  std::uint64_t file_type;
  std::uint32_t major;
  std::size_t after_header;  // offset just past the header line
};

Header read_header(std::string_view bytes) {
  std::size_t pos = 0;
  std::string_view line;
  bool found = false;
  while (pos < bytes.size()) {
    pos = line_end(bytes, pos, &line);
    if (trim_ascii(line) == "$MeshFormat") {
      found = true;
      break;
    }
  }
  if (!found || pos >= bytes.size()) throw Error::message("gmsh: unexpected end of file");
  const std::size_t after_header = line_end(bytes, pos, &line);
  const std::string_view header = trim_ascii(line);
  if (!is_utf8(header)) throw Error::message("gmsh: bad $MeshFormat line");
  TokenCursor tokens(header);
  const auto version = tokens.next();
  if (!version) throw Error::message("gmsh: empty $MeshFormat");
  const auto file_type_token = tokens.next();
  const auto file_type = file_type_token ? parse_u64(*file_type_token) : std::nullopt;
  if (!file_type) throw Error::message("gmsh: $MeshFormat without a file-type");
  const auto major = parse_u64(version->substr(0, version->find('.')));
  if (!major || *major > std::numeric_limits<std::uint32_t>::max())
    throw Error::message("gmsh: unparsable MSH version {}", *version);
  return Header{*file_type, static_cast<std::uint32_t>(*major), after_header};
}

GmshMeshData parse(std::string_view bytes) {
  const Header header = read_header(bytes);
  if (header.file_type == 0) {
    if (!is_utf8(bytes)) throw Error::message("gmsh: file declared ASCII but is not valid UTF-8");
    return parse_gmsh_ascii(bytes);
  }
  if (header.file_type == 1) return parse_gmsh_binary(bytes, header.after_header, header.major);
  throw Error::message("gmsh: unsupported file-type {} (0 = ASCII, 1 = binary)", header.file_type);
}

// Node tag -> its node: the position of its (last) record in data.nodes until the
// node is created, then the created node's id, in one entry so that resolving a tag
// touches one place in memory. Tags are usually dense from 1, so a table indexed by
// tag serves them; scattered tags fall back to a hash map rather than a table sized
// by the largest tag.
class NodeTable {
 public:
  static constexpr std::uint64_t kCreated = std::uint64_t{1} << 63;

  explicit NodeTable(const std::vector<GmshNode>& nodes) {
    std::uint64_t max_tag = 0;
    for (const GmshNode& n : nodes) max_tag = std::max(max_tag, n.tag);
    if (!nodes.empty() && max_tag / 4 <= nodes.size()) {
      dense_.assign(static_cast<std::size_t>(max_tag) + 1, kUnknown);
      for (std::size_t i = 0; i < nodes.size(); ++i) dense_[nodes[i].tag] = i;
    } else {
      for (std::size_t i = 0; i < nodes.size(); ++i) sparse_[nodes[i].tag] = i;
    }
  }

  // The entry of a tag (a record position, or kCreated | node id), or nullptr for a
  // tag no record has.
  std::uint64_t* find(std::uint64_t tag) noexcept {
    if (!dense_.empty()) return tag < dense_.size() && dense_[tag] != kUnknown ? &dense_[tag] : nullptr;
    const auto it = sparse_.find(tag);
    return it == sparse_.end() ? nullptr : &it->second;
  }

 private:
  static constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> dense_;
  std::unordered_map<std::uint64_t, std::uint64_t> sparse_;
};

GmshGroups build(const store::Handle<Coords>& coords, const GmshMeshData& data) {
  std::uint8_t dim;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    dim = guard->dim();
  }
  // A gmsh node has three coordinates: a wider Coords would need values the file
  // does not have.
  if (dim > 3) throw Error::message("gmsh: cannot read nodes into a {}-D Coords (gmsh nodes have 3 coordinates)", dim);

  NodeTable table(data.nodes);
  // The nodes created by this call, each holding one reference until the end of it.
  std::vector<Node> held;

  GmshGroupBuilders builders(coords);
  // Name index -> builder, resolved when an element first names it.
  constexpr std::size_t kNoBuilder = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> builder_of(data.names.size(), kNoBuilder);

  std::array<NodeId, containers::mesh::kMaxNodesPerCell> ids;
  std::array<NodeId, containers::mesh::kMaxNodesPerCell> ordered;
  for (const GmshElementRun& run : data.runs) {
    const auto permutation = gmsh_permutation(run.element_type);
    const auto& groups = data.groups_of(run);
    for (std::uint64_t i = 0; i < run.count; ++i) {
      const auto tags = data.tags_of(run, i);
      for (std::size_t j = 0; j < tags.size(); ++j) {
        std::uint64_t* entry = table.find(tags[j]);
        if (!entry) throw Error::message("gmsh: element references unknown node {}", tags[j]);
        if (!(*entry & NodeTable::kCreated)) {
          const auto& xyz = data.nodes[*entry].xyz;
          held.push_back(Node::create(coords, std::span<const double>(xyz.data(), dim)));
          *entry = NodeTable::kCreated | held.back().id();
        }
        ids[j] = static_cast<NodeId>(*entry);
      }
      std::span<const NodeId> cell(ids.data(), tags.size());
      if (permutation.size() == tags.size()) {
        gmsh_permute_nodes(cell, permutation, std::span<NodeId>(ordered.data(), tags.size()));
        cell = std::span<const NodeId>(ordered.data(), tags.size());
      }
      for (const std::uint32_t name : groups) {
        if (builder_of[name] == kNoBuilder) builder_of[name] = builders.group(data.names[name]);
        builders.add_cell(builder_of[name], run.element_type, cell);
      }
    }
  }
  return builders.finish();
}

}  // namespace

GmshGroups read_gmsh_bytes(store::Handle<Coords> coords, std::string_view bytes) {
  const GmshMeshData data = parse(bytes);
  return build(coords, data);
}

GmshGroups read_gmsh_file(store::Handle<Coords> coords, const std::string& path) {
  // The swap files' whole-file reader serves any file: one read, the system's text on failure.
  const std::vector<std::uint8_t> bytes = store::read_swap_file(path);
  return read_gmsh_bytes(std::move(coords),
                         std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace quenlith::ops::mesher::gmsh
