#pragma once
// Node values carried onto other supports: the nodes of a mesh, or the zones of
// another field. A (node, name) pair takes the value of the first zone of the
// source that holds the node and carries the name, and 0.0 when none does.
#include "containers/mesh/mesh.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

// One zone per submesh of `mesh`, on its canonical node support, carrying every
// component of `field`. "coords: mesh has no submeshes", "index 0 out of bounds
// (len=0)", "restrict: mesh is not attached to the same Coords".
containers::node_field::NodeField restrict(const containers::node_field::NodeField& field,
                                           const containers::mesh::Mesh& mesh);

// One zone per zone of `target`, on its support with its component names; only
// target's supports and names are read. "restrict_like: target is not attached to
// the same Coords".
containers::node_field::NodeField restrict_like(const containers::node_field::NodeField& field,
                                                const containers::node_field::NodeField& target);

}  // namespace quenlith::ops::field
