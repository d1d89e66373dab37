#pragma once
// Masks: a field of the same flavour and shape (zones, supports, nodes or cells and
// Gauss points, names) whose values are 1.0 where the input lies in a value band
// and 0.0 where it does not, so that the product of a field and its mask keeps the
// values in band. The comparisons of the field classes (`field < x` and the like)
// are masks of a one-bound band testing every component.
//
// `components`: absent tests every component; a list tests the listed ones that a
// zone carries (nothing in a zone carrying none of them); an untested component
// comes out all 1.0.
#include <optional>
#include <string>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/field/value_band.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

using containers::field::ValueBand;
using ComponentList = std::optional<std::vector<std::string>>;

// The masked copy of one zone the caller holds under a read guard; not stored.
// Never fails. The values are masked in parallel chunks (each written once, so the
// result does not depend on the threads).
containers::node_field::SubNodeField mask_sub_node_field(const containers::node_field::SubNodeField& zone,
                                                         const ValueBand& band, const ComponentList& components);
containers::element_field::SubElementField mask_sub_element_field(
    const containers::element_field::SubElementField& zone, const ValueBand& band, const ComponentList& components);

// One new stored zone per zone, in zone order. The zones are read on the calling
// thread (a zone listed twice once) and masked in parallel, one task per zone; a
// zone that cannot be read fails the call before anything is stored. Node fields
// append through NodeField::push_sub (its Coords rule), element fields append
// without a check.
containers::node_field::NodeField mask_node_field(const containers::node_field::NodeField& field,
                                                  const ValueBand& band, const ComponentList& components);
containers::element_field::ElementField mask_element_field(const containers::element_field::ElementField& field,
                                                           const ValueBand& band, const ComponentList& components);

}  // namespace quenlith::ops::field
