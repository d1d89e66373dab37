#pragma once
// Consolidation of node and element fields: the zones of a field that lie on one
// support are fused into one zone carrying the union of their components.
#include "containers/element_field/element_field.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::containers::field {

// A new field, the argument unchanged. Zones are grouped by support handle (groups
// by first member, members in field order); a zone alone on its support is kept as
// the same handle; a group of several becomes one new zone on the support with the
// union of the members' names (first seen first), filled member by member, row by
// row, name by name, the first value met for a (node, name) pair written and every
// later one required to equal it: "incoherent NodeField on shared support: node {},
// component {}: {} ≠ {}" (NaN equals nothing). The result must then pass
// NodeField::check_coherence. A zone that cannot be read fails the call with its
// store error; a failure leaves no new zone behind.
containers::node_field::NodeField consolidate_node(const containers::node_field::NodeField& field);

// A new field, the argument unchanged. Zones are grouped by subspace handle as
// above; a zone alone on its subspace is kept as the same handle; a group of several
// becomes one new zone on the subspace with the union of the members' names. Member
// by member, name by name: a name no earlier member carries is copied at every cell
// and Gauss point; otherwise it is compared there, cells then Gauss points in order,
// and the first difference fails with "incoherent ElementField on shared support:
// cell {}, gauss {}, component {}: {} ≠ {}" (fused value, member's value; NaN equals
// nothing). Zones on different subspaces are never compared. A zone that cannot be
// read fails the call with its store error; a failure leaves no new zone behind.
containers::element_field::ElementField consolidate_element(const containers::element_field::ElementField& field);

}  // namespace quenlith::containers::field
