#include "ops/io/gmsh/reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_map>

#include "base/error.hpp"
#include "containers/field/values.hpp"
#include "containers/mesh/node.hpp"
#include "ops/io/gmsh/ascii.hpp"
#include "ops/io/gmsh/binary.hpp"
#include "ops/io/gmsh/catalogue.hpp"
#include "ops/io/gmsh/group_builder.hpp"
#include "ops/io/gmsh/lexical.hpp"
#include "ops/io/gmsh/mesh_data.hpp"
#include "store/fd.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "store/swap_file.hpp"

namespace quenlith::ops::io::gmsh {

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
  // A created entry: this bit, the node's id in the low 32 bits and, in the 31
  // bits between, how many cell entries hold it (kept beside the id so that a tag
  // met again costs one access to one place).
  static constexpr std::uint64_t kCreated = std::uint64_t{1} << 63;
  static constexpr std::uint64_t kCountUnit = std::uint64_t{1} << 32;
  static constexpr std::uint64_t kCountMax = (kCreated - 1) >> 32;
  static constexpr std::uint64_t kCountBits = kCountMax << 32;
  static std::uint64_t count_of(std::uint64_t entry) noexcept { return (entry & (kCreated - 1)) >> 32; }
  // `n` more holders, saturating.
  static void add_holders(std::uint64_t& entry, std::uint64_t n) noexcept {
    if (count_of(entry) <= kCountMax - n) [[likely]]
      entry += n * kCountUnit;
    else
      entry = (entry & (kCreated | 0xFFFFFFFFu)) | kCountMax << 32;
  }

  // The table indexed by tag, or an empty span when the tags are too scattered
  // for one (find then looks them up).
  std::span<std::uint64_t> dense() noexcept { return dense_; }
  static bool known(std::uint64_t entry) noexcept { return entry != kUnknown; }

  // f(entry) for every created entry.
  template <class F>
  void for_each_created(F f) const {
    for (const std::uint64_t e : dense_)
      if (e != kUnknown && (e & kCreated)) f(e);
    for (const auto& [tag, e] : sparse_)
      if (e & kCreated) f(e);
  }

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

// Nodes made for a read that ends without cells: made as add_node would, then
// their reference given back, so that they stay in the Coords with none from the
// read. Also when the id space runs out part-way (the nodes that fit stay).
void make_unreferenced(const store::Handle<Coords>& coords, std::span<const double> xyz) {
  store::WriteGuard<Coords> guard = store::write(coords);
  const auto first = static_cast<NodeId>(guard->capacity());
  const auto release = [&] {
    std::vector<NodeId> ids(guard->capacity() - first);
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = first + static_cast<NodeId>(i);
    guard->release_all(ids);
  };
  try {
    guard->add_nodes(xyz);
  } catch (...) {
    release();
    throw;
  }
  release();
}

GmshGroups build(const store::Handle<Coords>& coords, const GmshMeshData& data) {
  std::uint8_t dim;
  NodeId base;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    dim = guard->dim();
    base = static_cast<NodeId>(guard->capacity());
  }
  // A gmsh node has three coordinates: a wider Coords would need values the file
  // does not have.
  if (dim > 3) throw Error::message("gmsh: cannot read nodes into a {}-D Coords (gmsh nodes have 3 coordinates)", dim);

  // Nodes are numbered as they are first met, from the Coords' next id, and made
  // together once every element is read: the coordinates of the new ones, in
  // order, and (in the table) the number of cell entries that will hold each: the
  // node starts with that many references, which the cells then take over.
  NodeTable table(data.nodes);
  std::vector<double> xyz;
  xyz.reserve(data.nodes.size() * dim);
  NodeId made = 0;

  GmshGroupBuilders builders(coords);
  // Name index -> builder, resolved when an element first names it.
  constexpr std::size_t kNoBuilder = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> builder_of(data.names.size(), kNoBuilder);
  const auto builder = [&](std::uint32_t name) {
    if (builder_of[name] == kNoBuilder) builder_of[name] = builders.group(data.names[name]);
    return builder_of[name];
  };
  // Every list sized once, from the runs (elements actually read), and filled in
  // place by a cursor. The groups and their types are met here in the order of the
  // walk below.
  std::map<std::pair<std::size_t, ElementType>, NodeId*> cursors;
  {
    std::map<std::pair<std::size_t, ElementType>, std::uint64_t> sizes;
    for (const GmshElementRun& run : data.runs)
      for (const std::uint32_t name : data.groups_of(run))
        sizes[{builder(name), run.element_type}] += run.count * containers::mesh::nodes_per_cell(run.element_type);
    for (const GmshElementRun& run : data.runs)
      for (const std::uint32_t name : data.groups_of(run)) {
        const std::pair<std::size_t, ElementType> key{builder(name), run.element_type};
        if (cursors.count(key)) continue;
        std::vector<NodeId>& list = builders.cells(key.first, key.second);
        list.resize(sizes[key]);
        cursors[key] = list.data();
      }
  }

  constexpr std::uint64_t kAhead = 8;
  std::array<std::uint64_t, containers::mesh::kMaxNodesPerCell> tags;
  std::array<NodeId, containers::mesh::kMaxNodesPerCell> ids;
  std::array<NodeId, containers::mesh::kMaxNodesPerCell> ordered;
  std::vector<NodeId**> targets;
  for (const GmshElementRun& run : data.runs) {
    const std::uint64_t k = containers::mesh::nodes_per_cell(run.element_type);
    const auto permutation = gmsh_permutation(run.element_type);
    targets.clear();
    for (const std::uint32_t name : data.groups_of(run)) targets.push_back(&cursors[{builder(name), run.element_type}]);
    const std::uint64_t n_targets = targets.size();
    // tag(i, j): tag j of element i, read where it lies for the common binary
    // records (in the machine's byte order), else through a copy.
    const std::span<std::uint64_t> dense = table.dense();
    std::uint64_t* const slots = dense.data();
    const std::uint64_t n_slots = dense.size();
    // Holders are added to a created entry while its count stays at most this (the
    // count bits compared in place).
    const std::uint64_t holders = n_targets * NodeTable::kCountUnit;
    const std::uint64_t room = (NodeTable::kCountMax - n_targets) * NodeTable::kCountUnit;
    // tag(i, j): tag j of element i; nk: the node count, a constant for the common
    // types so that the loops over an element's nodes unroll.
    const auto walk = [&, slots, n_slots, holders, room](auto tag, auto nk) {
      // Copies of the captures as locals: the stores through table entries (also
      // 64-bit words) could otherwise be taken to change them, and they would be
      // read again after each.
      std::uint64_t* const table_at = slots;
      const std::uint64_t table_size = n_slots, more = holders, limit = room, count = run.count;
      NodeId** const* const first_target = targets.data();
      NodeId** const* const end_target = first_target + targets.size();
      for (std::uint64_t i = 0; i < count; ++i) {
        // Tags come in no useful order: the table entries of an element a few ahead
        // are fetched while this one is handled.
        if (i + kAhead < count)
          for (std::size_t j = 0; j < nk; ++j)
            if (const std::uint64_t t = tag(i + kAhead, j); t < table_size) __builtin_prefetch(table_at + t, 1);
        for (std::size_t j = 0; j < nk; ++j) {
          const std::uint64_t t = tag(i, j);
          std::uint64_t* entry = t < table_size && NodeTable::known(table_at[t]) ? table_at + t
                                 : table_size != 0                              ? nullptr
                                                                                : table.find(t);
          if (!entry) {
            // The nodes met before stay in the Coords, without a reference.
            make_unreferenced(coords, xyz);
            throw Error::message("gmsh: element references unknown node {}", t);
          }
          if (!(*entry & NodeTable::kCreated)) {
            const auto& at = data.nodes[*entry].xyz;
            for (std::uint8_t d = 0; d < dim; ++d) xyz.push_back(at[d]);
            *entry = NodeTable::kCreated | (base + made++);
          }
          if ((*entry & NodeTable::kCountBits) <= limit) [[likely]]
            *entry += more;
          else
            NodeTable::add_holders(*entry, n_targets);
          ids[j] = static_cast<NodeId>(*entry);
        }
        const NodeId* cell = ids.data();
        if (permutation.size() == nk) {
          gmsh_permute_nodes(std::span<const NodeId>(ids.data(), nk), permutation,
                             std::span<NodeId>(ordered.data(), nk));
          cell = ordered.data();
        }
        for (NodeId** const* target = first_target; target != end_target; ++target) {
          NodeId** const cursor = *target;
          NodeId* at = *cursor;
          for (std::uint64_t j = 0; j < nk; ++j) at[j] = cell[j];
          *cursor = at + nk;
        }
      }
    };
    const auto walk_sized = [&](auto tag) {
      switch (k) {
        case 2: return walk(tag, std::integral_constant<std::size_t, 2>());
        case 3: return walk(tag, std::integral_constant<std::size_t, 3>());
        case 4: return walk(tag, std::integral_constant<std::size_t, 4>());
        case 8: return walk(tag, std::integral_constant<std::size_t, 8>());
        case 10: return walk(tag, std::integral_constant<std::size_t, 10>());
        default: return walk(tag, std::size_t{k});
      }
    };
    const char* const in = data.input.data() + run.first_tag;
    const std::uint64_t stride = run.stride;
    if (run.stride != 0 && !run.big_endian && run.tag_bytes == 8) {
      walk_sized([in, stride](std::uint64_t i, std::size_t j) {
        std::uint64_t v;
        std::memcpy(&v, in + i * stride + 8 * j, 8);
        return v;
      });
    } else if (run.stride != 0 && !run.big_endian && run.tag_bytes == 4) {
      walk_sized([in, stride](std::uint64_t i, std::size_t j) {
        std::int32_t v;
        std::memcpy(&v, in + i * stride + 4 * j, 4);
        return static_cast<std::uint64_t>(std::int64_t{v});
      });
    } else {
      std::uint64_t last = std::uint64_t(-1);
      walk_sized([&](std::uint64_t i, std::size_t j) {
        if (i != last) data.tags_of(run, i, tags.data()), last = i;
        return tags[j];
      });
    }
  }
  // The counts the nodes start with; a saturated one becomes immortal, as counts do.
  std::vector<std::uint32_t> held(made);
  table.for_each_created([&](std::uint64_t e) {
    const std::uint64_t count = NodeTable::count_of(e);
    held[static_cast<NodeId>(e) - base] =
        count == NodeTable::kCountMax ? Coords::kImmortalCount : static_cast<std::uint32_t>(count);
  });
  NodeId first;
  bool fits;
  {
    store::WriteGuard<Coords> guard = store::write(coords);
    first = static_cast<NodeId>(guard->capacity());
    fits = Coords::kMaxCapacity - guard->capacity() >= made;
    if (fits) guard->add_nodes(xyz, held);
  }
  // Too many: the nodes that fit are made, and the read fails as add_node would.
  if (!fits) make_unreferenced(coords, xyz);
  return builders.finish(first - base);
}

}  // namespace

GmshGroups read_gmsh_bytes(store::Handle<Coords> coords, std::string_view bytes) {
  const GmshMeshData data = parse(bytes);
  return build(coords, data);
}

GmshGroups read_gmsh_file(store::Handle<Coords> coords, const std::string& path) {
  int raw;
  do raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) throw Error::io_errno(errno);
  store::Fd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw Error::io_errno(errno);
  // The file straight into a block of its size (no zeroing, no copy in between);
  // the size is only a hint, so a file that has grown since is read again whole.
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    containers::field::ByteBlock block(static_cast<std::size_t>(st.st_size));
    const auto read_some = [&](char* to, std::size_t n) {
      ssize_t got;
      do got = ::read(fd.get(), to, n);
      while (got < 0 && errno == EINTR);
      if (got < 0) throw Error::io_errno(errno);
      return static_cast<std::size_t>(got);
    };
    std::size_t size = 0;
    while (size < block.size()) {
      const std::size_t got = read_some(block.data() + size, block.size() - size);
      if (got == 0) break;
      size += got;
    }
    char probe;
    if (read_some(&probe, 1) == 0) return read_gmsh_bytes(std::move(coords), std::string_view(block.data(), size));
  }
  // Anything else (a pipe, a file that grew, one that gives its error on reading)
  // through the swap files' whole-file reader: one read, the system's text on failure.
  const std::vector<std::uint8_t> bytes = store::read_swap_file(path);
  return read_gmsh_bytes(std::move(coords),
                         std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace quenlith::ops::io::gmsh
