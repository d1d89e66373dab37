#pragma once
// The binary layouts (MSH 2.2 and 4.1, file-type 1).
//
// Section lines, end lines and some count lines are text; the records between them
// are fixed-width values in the byte order the endianness marker gives: int (4
// bytes, signed), size (8 bytes, unsigned) and double (8 bytes). The data-size of
// the header is not used. Sections are handled in file order and each sees only
// what earlier ones produced: $PhysicalNames and $Entities name the groups of the
// $Elements sections that follow them.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "ops/io/gmsh/mesh_data.hpp"

namespace quenlith::ops::io::gmsh {

// A cursor over the whole input: fixed-width reads in the data's byte order and
// text lines. A read past the end fails and leaves the position where it was.
class GmshBinaryReader {
 public:
  GmshBinaryReader(std::string_view data, std::size_t position) noexcept : data_(data), position_(position) {}

  void set_big_endian(bool big) noexcept { big_endian_ = big; }
  bool big_endian() const noexcept { return big_endian_; }
  bool at_end() const noexcept { return position_ >= data_.size(); }
  std::size_t remaining() const noexcept { return at_end() ? 0 : data_.size() - position_; }
  std::size_t position() const noexcept { return position_; }

  // `count` records of `size` bytes each, read in one go: the position of the
  // first, the position moved past the last. "gmsh: truncated binary data" when
  // fewer bytes are left (nothing moves then).
  std::size_t take_records(std::uint64_t count, std::uint64_t size);
  // The bytes at `at` in the input (a position handed out by take_records).
  const char* at(std::size_t at) const noexcept { return data_.data() + at; }
  // Decoders of values lying in the input, in the data's byte order.
  std::uint64_t u64_at(const char* p) const noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return big_endian_ ? __builtin_bswap64(v) : v;
  }
  std::int32_t i32_at(const char* p) const noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return static_cast<std::int32_t>(big_endian_ ? __builtin_bswap32(v) : v);
  }
  double f64_at(const char* p) const noexcept {
    const std::uint64_t bits = u64_at(p);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
  }

  // "gmsh: truncated binary data" when fewer bytes are left than the value needs.
  std::int32_t read_i32();
  std::uint64_t read_u64();
  double read_f64();
  // The 4 raw bytes of the endianness marker.
  std::uint32_t read_marker();
  // The next line, up to the next line feed or the end, trimmed of ASCII white
  // space (a blank line comes back empty); "gmsh: unexpected end of file" at the end.
  std::string_view next_line();
  // Lines until one equals `end_line`; "gmsh: unexpected end of file" if none does.
  void skip_to_end(std::string_view end_line);

 private:
  const char* take(std::size_t n);

  std::string_view data_;
  std::size_t position_;
  bool big_endian_ = false;
};

// A count line: valid UTF-8 and, trimmed, an unsigned decimal integer; else
// "gmsh: expected an integer count".
std::uint64_t gmsh_parse_count(std::string_view line);

// The binary preamble (endianness marker, rest of $MeshFormat) and the section walk,
// from `after_header` (the offset just past the header line) to the end of `data`.
// A major version of 2 selects the 2.2 layouts, any other the 4.1 ones.
GmshMeshData parse_gmsh_binary(std::string_view data, std::size_t after_header, std::uint32_t major);

}  // namespace quenlith::ops::io::gmsh
