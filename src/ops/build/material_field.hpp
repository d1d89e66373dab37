#pragma once
// Material fields: uniform element-field zones built from (name, value) pairs, one
// per sub-model that reads material data, on its material subspace.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "models/model/sub_model.hpp"
#include "models/mod/kind.hpp"

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

using SubModelHandle = store::Handle<containers::model::SubModel>;
using ZoneHandle = store::Handle<containers::element_field::SubElementField>;

// The material zone of a sub-model's kind on its material subspace, not stored:
// "material_field: this sub-model does not need material data" for a kind without
// behaviour (the constraint kinds), then as material_zone.
containers::element_field::SubElementField build_material_field(const models::ModelKind& kind,
                                                                std::span<const MaterialPair> pairs);

// The stored zones of every sub-model that has a behaviour, in model order, all with
// the same pairs; the others are skipped. All or nothing: on the first error the
// zones stored so far are released with the list.
std::vector<ZoneHandle> material_field_for_model(std::span<const SubModelHandle> sub_models,
                                                 std::span<const MaterialPair> pairs);

// One list of pairs per sub-model, in model order: "material_field_per_sub_model: {}
// list(s) supplied for {} sub-model(s)" when the counts differ; an empty list skips
// its sub-model unread; a non-empty one for a kind without behaviour fails as
// build_material_field. All or nothing, as above.
std::vector<ZoneHandle> material_field_per_sub_model_core(std::span<const SubModelHandle> sub_models,
                                                          std::span<const std::vector<MaterialPair>> lists);

}  // namespace quenlith::ops::build
