#pragma once
// The text layouts (MSH 2.2 and 4.1, file-type 0).
//
// The text is first cut into named sections ("$Name" ... "$EndName"; a later
// section of one name replaces an earlier one, a section without its end line runs
// to the end of the text), then the sections the grammar needs are read in a fixed
// order whatever their order in the file: $MeshFormat, $PhysicalNames, then $Entities
// (4.1), $Nodes and $Elements. Inside a section line breaks mean nothing: records are
// read as a stream of white-space separated tokens. Section bodies and tokens are
// views into the text, never copies.
#include <cstdint>
#include <string_view>

#include "ops/io/gmsh/lexical.hpp"

#include "ops/io/gmsh/mesh_data.hpp"

namespace quenlith::ops::io::gmsh {

// The values of one section, token after token. Reading past the last token gives
// "gmsh: unexpected end of section"; a token of the wrong form "gmsh: expected an
// integer, got {}" or "gmsh: expected a number, got {}".
class GmshTokenReader {
 public:
  explicit GmshTokenReader(std::string_view body) noexcept : cursor_(body) {}

  std::string_view next();
  std::uint64_t next_u64();
  std::int64_t next_i64();
  double next_f64();

 private:
  TokenCursor cursor_;
};

// The elements and nodes of a whole text file (valid UTF-8), or an Error with one of
// the "gmsh: ..." messages of the text layouts.
GmshMeshData parse_gmsh_ascii(std::string_view text);

// One $PhysicalNames entry: a dimension (0 to 255) and a signed tag before the first
// double quote, the name verbatim between the first and the last double quote (it
// may hold quotes itself); text after the last quote is ignored. Adds or replaces
// the name in `state`. Used by the binary layouts too.
void parse_physical_name_line(std::string_view line, GmshParseState& state);

}  // namespace quenlith::ops::io::gmsh
