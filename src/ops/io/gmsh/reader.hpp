#pragma once
// Reading a gmsh mesh file (MSH 2.2 or 4.1, text or binary of either byte order)
// into one Mesh per physical group over a caller's Coords.
//
// The header line after "$MeshFormat" chooses the path: file-type 0 is the text
// parser, 1 the binary one. The parsed nodes and elements are then turned into
// nodes and cells:
// - a node is created, with the first `dim` of its three coordinates, when an
//   element first references its tag (elements in file order, tags in file order),
//   so unreferenced nodes are never added and a tag shared by several groups is one
//   node;
// - each element becomes one cell, in our node order, in every group it names.
// Groups come out in order of their first element; in a group one submesh per
// element type, in order of the type's first element; cells in element order.
//
// The nodes are made together once every element is read, each starting with the
// references of the cells that will hold it, and the cells of each group and type
// become one submesh that takes those references over: the counts are those of
// making nodes and adding cells one by one.
//
// Threads and locks: runs on the calling thread; the Coords read guard is taken once
// for its dimension and next id, its write guard once to make the nodes, and a read
// guard once per submesh to check its nodes; no two guards are ever held together.
// A failure leaves the nodes already met in the Coords, without any reference from
// this call.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "store/handle.hpp"

namespace quenlith::ops::io::gmsh {

using GmshGroups = std::vector<std::pair<std::string, containers::mesh::Mesh>>;

// The file read whole, then read_gmsh_bytes. A file that cannot be read is an Io
// error and adds nothing. Takes over `coords` and releases it before returning.
GmshGroups read_gmsh_file(store::Handle<containers::mesh::Coords> coords, const std::string& path);

// The groups of a whole file held in memory. Errors: the "gmsh: ..." messages, the
// store's stale-handle error for a Coords that no longer exists, and those of node
// creation and cell addition. Takes over `coords` and releases it before returning.
GmshGroups read_gmsh_bytes(store::Handle<containers::mesh::Coords> coords, std::string_view bytes);

}  // namespace quenlith::ops::io::gmsh
