#pragma once
// Material fields: uniform element-field zones built from (name, value) pairs, one
// per sub-model that reads material data, on its material subspace.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"

namespace quenlith::ops::build {

// One (component name, value) pair, borrowed from the caller's list. Names compare
// byte for byte (case matters).
struct MaterialPair {
  std::string_view name;
  double value;
};

// The zone on `space` whose components are the `required` names in their order, then
// those `optional` names the pairs supply, in their order (never the pairs' order),
// each holding at every (cell, Gauss point) the value of the first pair of that name.
// Pairs of other names, and later repeats, are ignored; values are taken as given.
// "material_field: missing required component '{}' (this physics expects: {})" names
// the first required name absent (in declared order) and the whole required list.
// Errors of the zone's construction pass unchanged. The zone is not stored.
containers::element_field::SubElementField material_zone(
    const store::Handle<containers::finite_element_space::SubFiniteElementSpace>& space,
    std::span<const std::string> required, std::span<const std::string> optional,
    std::span<const MaterialPair> pairs);

}  // namespace quenlith::ops::build
