#pragma once
// The 4.1 layouts of $Entities, $Nodes and $Elements. Text and binary files hold the
// same records in the same order; only the encoding of each value differs (tokens,
// or fixed-width values), so one reader per section serves both. Each reads its
// section's records and stops; what follows (the end line) is the caller's.
//
// Values: counts and node and element tags are unsigned 64-bit (a token, or a size);
// entity dimensions and tags and physical tags are signed (a 64-bit token, or an int
// widened with its sign), dimensions compared through their low 8 bits; coordinates
// are doubles. The parametric flag is an unsigned token or an int; the element type
// an unsigned token or an int taken as unsigned 32-bit.
#include "ops/io/gmsh/mesh_data.hpp"

namespace quenlith::ops::io::gmsh {

class GmshTokenReader;
class GmshBinaryReader;

// Points, curves, surfaces, volumes: each entity's physical tags into the entity map.
void read_entities_v4(GmshTokenReader& in, GmshParseState& state);
void read_entities_v4(GmshBinaryReader& in, GmshParseState& state);
// Node blocks into the node map; "gmsh: parametric nodes are not supported".
void read_nodes_v4(GmshTokenReader& in, GmshParseState& state);
void read_nodes_v4(GmshBinaryReader& in, GmshParseState& state);
// Element blocks, each named by its entity's physical tags as they stand now.
void read_elements_v4(GmshTokenReader& in, GmshParseState& state);
void read_elements_v4(GmshBinaryReader& in, GmshParseState& state);

}  // namespace quenlith::ops::io::gmsh
