#pragma once
// Consolidation of node fields: the zones of a field that lie on one support are
// fused into one zone carrying the union of their components.
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

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

}  // namespace quenlith::ops::field
