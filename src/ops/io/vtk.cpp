#include "ops/io/vtk.hpp"

#include <charconv>
#include <algorithm>

#include "dump/number_format.hpp"
#include "parallel/pool.hpp"
#include "base/error.hpp"
#include "store/file_write.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::io {

using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

// Items formatted per block of the worker pool; the blocks are joined in order.
constexpr std::uint64_t kLinesPerBlock = 1024;

void append_unsigned(std::string& out, std::uint64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// Appends line(text, i) for i in [0, n), formatted block by block on the worker pool.
template <class Line>
void append_lines(std::string& out, std::uint64_t n, const Line& line) {
  const std::uint64_t n_blocks = (n + kLinesPerBlock - 1) / kLinesPerBlock;
  std::vector<std::string> blocks(n_blocks);
  parallel::for_chunks(n_blocks, 1, [&](parallel::Index first, parallel::Index last) {
    for (parallel::Index b = first; b < last; ++b) {
      const std::uint64_t end = std::min<std::uint64_t>(n, (b + 1) * kLinesPerBlock);
      for (std::uint64_t i = b * kLinesPerBlock; i < end; ++i) line(blocks[b], i);
    }
  });
  std::size_t total = out.size();
  for (const std::string& block : blocks) total += block.size();
  out.reserve(total);
  for (const std::string& block : blocks) out += block;
}

// The code point of the UTF-8 sequence at text[i] and its length; (0, 0) for bytes
// that do not start a well-formed sequence.
std::pair<char32_t, std::size_t> decode_utf8(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return {b0, 1};
  std::size_t len;
  char32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return {0, 0};
  }
  if (i + len > text.size()) return {0, 0};
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {0, 0};
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  return {cp, len};
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

void write_text(const std::string& path, const std::string& text) {
  store::replace_file(path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                          text.size()));
}

}  // namespace

std::uint8_t vtk_cell_type(ElementType t) {
  switch (t) {
    case ElementType::POI1: return 1;
    case ElementType::SEG2: return 3;
    case ElementType::TRI3: return 5;
    case ElementType::QUA4: return 9;
    case ElementType::TET4: return 10;
    case ElementType::PENTA6: return 13;
    case ElementType::HEX8: return 12;
    case ElementType::SEG3: return 21;
    case ElementType::TRI6: return 22;
    case ElementType::QUA8: return 23;
    case ElementType::TET10: return 24;
    case ElementType::PENTA15: return 26;
    case ElementType::HEX20: return 25;
    case ElementType::QUA9: return 28;
    case ElementType::HEX27: return 29;
  }
  return 0;
}

std::string vtk_array_name(std::string_view component) {
  std::string out;
  out.reserve(component.size());
  std::size_t i = 0;
  while (i < component.size()) {
    const auto [cp, len] = decode_utf8(component, i);
    if (len == 0) {
      out += component[i++];
      continue;
    }
    if (is_unicode_space(cp))
      out += '_';
    else
      out.append(component.substr(i, len));
    i += len;
  }
  return out;
}

VtkGrid VtkGrid::from_mesh(const Mesh& mesh) {
  const store::Handle<Coords> coords = mesh.coords();
  VtkGrid grid;
  grid.cell_offsets.push_back(0);
  grid.submesh_cells.reserve(mesh.size());
  for (const auto& sub : mesh.subs()) {
    store::ReadGuard<SubMesh> guard = store::read(sub);
    const std::uint8_t code = vtk_cell_type(guard->element_type());
    const std::uint64_t k = guard->nodes_per_cell();
    const std::uint64_t n = guard->cell_count();
    const auto conn = guard->connectivity();
    // The node ids stand in for point indices until the points are placed below.
    grid.cell_points.insert(grid.cell_points.end(), conn.begin(), conn.begin() + static_cast<std::ptrdiff_t>(n * k));
    for (std::uint64_t c = 0; c < n; ++c) {
      grid.cell_offsets.push_back(grid.cell_offsets.back() + k);
      grid.cell_types.push_back(code);
    }
    grid.submesh_cells.push_back(n);
  }

  store::ReadGuard<Coords> guard = store::read(coords);
  const Coords& c = *guard;
  const std::span<const double> buffer = c.active_buffer();
  const std::size_t dim = c.dim();
  const std::size_t written = std::min<std::size_t>(dim, 3);
  // Point index + 1 of each node slot, 0 for a node not met yet: one small entry per
  // slot of the Coords, which already keeps dim doubles per slot.
  std::vector<std::uint64_t> point_of(c.capacity(), 0);
  for (std::uint32_t& entry : grid.cell_points) {
    const NodeId id = entry;
    if (!c.is_alive(id)) throw Error::message("node {} not found or collected", id);
    if (point_of[id] == 0) {
      const std::size_t at = grid.points.size();
      grid.points.resize(at + 3, 0.0);
      for (std::size_t k = 0; k < written; ++k) grid.points[at + k] = buffer[std::size_t{id} * dim + k];
      grid.node_ids.push_back(id);
      point_of[id] = grid.node_ids.size();
    }
    entry = static_cast<std::uint32_t>(point_of[id] - 1);
  }
  return grid;
}

void write_vtk_grid(std::string& out, const VtkGrid& grid, std::string_view title) {
  out += "# vtk DataFile Version 3.0\n";
  out += title;
  out += "\nASCII\nDATASET UNSTRUCTURED_GRID\nPOINTS ";
  append_unsigned(out, grid.n_points());
  out += " double\n";
  append_lines(out, grid.n_points(), [&](std::string& text, std::uint64_t i) {
    dump::append_plain_number(text, grid.points[3 * i]);
    text += ' ';
    dump::append_plain_number(text, grid.points[3 * i + 1]);
    text += ' ';
    dump::append_plain_number(text, grid.points[3 * i + 2]);
    text += '\n';
  });
  out += "CELLS ";
  append_unsigned(out, grid.n_cells());
  out += ' ';
  append_unsigned(out, grid.cell_points.size() + grid.n_cells());
  out += '\n';
  append_lines(out, grid.n_cells(), [&](std::string& text, std::uint64_t c) {
    const std::uint64_t begin = grid.cell_offsets[c];
    const std::uint64_t end = grid.cell_offsets[c + 1];
    append_unsigned(text, end - begin);
    for (std::uint64_t j = begin; j < end; ++j) {
      text += ' ';
      append_unsigned(text, grid.cell_points[j]);
    }
    text += '\n';
  });
  out += "CELL_TYPES ";
  append_unsigned(out, grid.n_cells());
  out += '\n';
  append_lines(out, grid.n_cells(), [&](std::string& text, std::uint64_t c) {
    append_unsigned(text, grid.cell_types[c]);
    text += '\n';
  });
}

void write_vtk_data(std::string& out, VtkDataLocation location, std::uint64_t count,
                    std::span<const VtkArray> arrays) {
  out += location == VtkDataLocation::Points ? "POINT_DATA " : "CELL_DATA ";
  append_unsigned(out, count);
  out += '\n';
  for (const VtkArray& array : arrays) {
    out += "SCALARS ";
    out += vtk_array_name(array.component);
    out += " double 1\nLOOKUP_TABLE default\n";
    for (double v : array.values) {
      dump::append_plain_number(out, v);
      out += '\n';
    }
  }
}

void write_vtk_mesh(const Mesh& mesh, const std::string& path) {
  const VtkGrid grid = VtkGrid::from_mesh(mesh);
  std::string text;
  write_vtk_grid(text, grid, "quenlith mesh");
  write_text(path, text);
}

void write_vtk_with_data(const Mesh& mesh, const std::string& path, std::string_view title, VtkDataLocation location,
                         parallel::FunctionRef<std::vector<VtkArray>(const VtkGrid&)> arrays) {
  const VtkGrid grid = VtkGrid::from_mesh(mesh);
  const std::vector<VtkArray> data = arrays(grid);
  const bool points = location == VtkDataLocation::Points;
  const std::uint64_t count = points ? grid.n_points() : grid.n_cells();
  for (const VtkArray& array : data)
    QUENLITH_VERIFY(array.values.size() == count, "vtk: array {} has {} value(s) for {} {}", array.component,
                    array.values.size(), count, points ? "point(s)" : "cell(s)");
  std::string text;
  write_vtk_grid(text, grid, title);
  write_vtk_data(text, location, count, data);
  write_text(path, text);
}

}  // namespace quenlith::ops::io
