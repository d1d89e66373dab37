#pragma once
// Coordinates as node fields: reading the active configuration of a mesh's nodes
// into a field, and writing a field into it (absolute positions or displacements).
#include <optional>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

// One zone per submesh, on its canonical node support, with one component per name
// ("X", "Y", "Z"; by default the first min(dim, 3) of them) holding that axis.
containers::node_field::NodeField coordinates(const containers::mesh::Mesh& mesh,
                                              const std::optional<std::vector<std::string>>& components);

// The field's values of the named components (one per axis, in axis order) become
// the coordinates of its nodes (`set_coordinates`) or are added to them
// (`displace`, names "ux", "uy", "uz" by default). Every value and every node is
// checked before the first write: a failing call moves no node.
void set_coordinates(const containers::node_field::NodeField& field,
                     const std::optional<std::vector<std::string>>& components);
void displace(const containers::node_field::NodeField& field,
              const std::optional<std::vector<std::string>>& components);

}  // namespace quenlith::ops::field
