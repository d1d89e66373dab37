#pragma once
// Value-band selection: the part of a field's support where its values lie in a
// band, as a Mesh: for node zones a POI1 submesh of the passing nodes, for element
// zones a submesh of the passing cells (a cell passes when all its Gauss points
// do). The tested components of a point are combined with AND; with a list of
// names, a zone lacking one of them is skipped (it gives no submesh). The new
// submeshes are editable and hold their own references on their nodes.
#include "containers/element_field/element_field.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "ops/field/mask.hpp"

namespace quenlith::ops::field {

// A zone the caller holds under a read guard: a Mesh of one submesh, or of none.
containers::mesh::Mesh select_sub_node_field(const containers::node_field::SubNodeField& zone,
                                             const ValueBand& band, const ComponentList& components);
containers::mesh::Mesh select_sub_element_field(const containers::element_field::SubElementField& zone,
                                                const ValueBand& band, const ComponentList& components);

// Every zone in order, one read guard at a time.
containers::mesh::Mesh select_node_field(const containers::node_field::NodeField& field, const ValueBand& band,
                                         const ComponentList& components);
containers::mesh::Mesh select_element_field(const containers::element_field::ElementField& field,
                                            const ValueBand& band, const ComponentList& components);

}  // namespace quenlith::ops::field
