#pragma once
// The Python classes Coords (one handle on a stored Coords) and Node (one core
// Node value: a Coords handle, an id and, normally, one reference on the node).
//
// Freeing a Python Node gives its reference back under a write guard on its
// Coords, so no Python object may be created or destroyed while a guard on a
// Coords is held (the interpreter may free a Node at any allocation): bindings
// build their results after releasing their guards.
#include <Python.h>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/node.hpp"
#include "py/ref.hpp"
#include "py/type.hpp"
#include "store/handle.hpp"

namespace quenlith::py {

extern TypeCache coords_type;
extern TypeCache node_type;

// A new Python Coords holding `handle`.
Ref wrap_coords(store::Handle<containers::mesh::Coords> handle);
// A new Python Node taking over `node` (its handle and its reference).
Ref wrap_node(containers::mesh::Node node);

// The handle held by a Python Coords, lent for as long as `obj` lives; TypeError
// "'{}' object is not an instance of 'Coords'" (or the None form) otherwise.
const store::Handle<containers::mesh::Coords>& coords_handle(PyObject* obj);
// The Node value held by a Python Node, lent for as long as `obj` lives; TypeError
// "'{}' object is not an instance of 'Node'" otherwise.
const containers::mesh::Node& node_value(PyObject* obj);
// Whether `obj` is a Python Node.
bool is_node(PyObject* obj);

}  // namespace quenlith::py
