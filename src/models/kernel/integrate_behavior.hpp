#pragma once
// One load or time step of the constitutive laws of a whole model, A → B.
#include <optional>
#include <span>

#include "containers/element_field/element_field.hpp"
#include "models/model/sub_model.hpp"
#include "store/handle.hpp"

namespace quenlith::models::kernel {

// For every sub-model with a behaviour, in order: the one zone of `deformation` (and
// of `prev`, when given) on its behaviour subspace, the one zone of `materials` on its
// material subspace carrying all its required names, handed to the kind's
// integrate_behavior with `dt`; each new zone stored and listed. Kinds without a
// behaviour are skipped, nothing looked up for them. The first failure (a stale
// sub-model, a lookup's message, the law's) ends the call, and the zones stored so far
// are released with the list.
containers::element_field::ElementField integrate_behavior_core(
    std::span<const store::Handle<containers::model::SubModel>> sub_models,
    const containers::element_field::ElementField& deformation, const containers::element_field::ElementField* prev,
    const containers::element_field::ElementField& materials, std::optional<double> dt);

}  // namespace quenlith::models::kernel
