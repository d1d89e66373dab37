#pragma once
// The module function lump(matrix), defined with the Matrix class, and the shapes in
// which SubMatrix and Matrix hand their entries and degrees of freedom to Python.
#include <Python.h>

#include <string>
#include <tuple>
#include <vector>

#include "containers/matrix/dof.hpp"
#include "containers/matrix/sub_matrix.hpp"

namespace quenlith::py {

extern PyMethodDef lump_def;

using DofTuple = std::tuple<containers::matrix::NodeId, std::string>;
using EntryTuple =
    std::tuple<containers::matrix::NodeId, std::string, containers::matrix::NodeId, std::string, double>;

// (node id, variable) per degree of freedom, in order.
std::vector<DofTuple> dof_tuples(std::vector<containers::matrix::Dof> dofs);
// (row node, row variable, column node, column variable, value) per entry, in order.
std::vector<EntryTuple> entry_tuples(std::vector<containers::matrix::SubMatrix::Entry> entries);

}  // namespace quenlith::py
