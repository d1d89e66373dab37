// read_gmsh(coords, path) and read_gmsh_str(coords, text): a gmsh mesh file into a
// dict of one Mesh per physical group, over the caller's Coords.
#include "py/gmsh.hpp"

#include <string>
#include <utility>

#include "containers/mesh/mesh.hpp"
#include "ops/io/gmsh/reader.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

namespace {

using ops::io::gmsh::GmshGroups;

constexpr Param read_gmsh_params[] = {{"coords"}, {"path"}};
const Signature read_gmsh_sig{
    "read_gmsh", nullptr, Receiver::None, read_gmsh_params,
    "Read a gmsh `.msh` file (ASCII or binary, MSH 2.2 or 4.1) into a\n"
    "`dict[str, Mesh]` mapping each physical group name to a `Mesh`, adding the\n"
    "nodes to `coords`.\n"
    "\n"
    "The nodes land in the `coords` passed, so the caller keeps the handle needed\n"
    "to pose boundary conditions on a named region. The dimension of that `Coords`\n"
    "decides how many of gmsh's three coordinates are kept (a 2-D `Coords`\n"
    "flattens onto `xy`). All returned meshes share that single `Coords`, so a node\n"
    "on the boundary between two named groups is the same node on both sides.\n"
    "Inside a group's mesh there is one submesh per element type. Elements with no\n"
    "physical group land under the key \"<ungrouped>\". The dict preserves the file\n"
    "order."};

constexpr Param read_gmsh_str_params[] = {{"coords"}, {"text"}};
const Signature read_gmsh_str_sig{
    "read_gmsh_str", nullptr, Receiver::None, read_gmsh_str_params,
    "Like `read_gmsh`, but parse the `.msh` text already held in a string instead\n"
    "of reading from a path. Same `dict[str, Mesh]` result."};

// The groups as a dict, in their order.
Ref gmsh_groups_to_dict(GmshGroups groups) {
  Ref dict = Ref::steal(PyDict_New());
  for (auto& [name, mesh] : groups) {
    Ref key = from_str(name);
    Ref value = to_python(std::move(mesh));
    check(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  return dict;
}

// The core takes a second handle on the caller's Coords, which stays borrowed
// until the call returns.
Ref read_gmsh(Borrowed<CoordsClass> coords, std::string path) {
  return gmsh_groups_to_dict(ops::io::gmsh::read_gmsh_file(*coords, path));
}

Ref read_gmsh_str(Borrowed<CoordsClass> coords, std::string text) {
  return gmsh_groups_to_dict(ops::io::gmsh::read_gmsh_bytes(*coords, text));
}

}  // namespace

PyMethodDef read_gmsh_def = function<read_gmsh_sig, read_gmsh, borrow<CoordsClass>, to_str_path>();
PyMethodDef read_gmsh_str_def = function<read_gmsh_str_sig, read_gmsh_str, borrow<CoordsClass>, to_str>();

}  // namespace quenlith::py
