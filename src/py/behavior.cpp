// integrate_behavior: one step of the constitutive laws of a model, as a new
// ElementField of one zone per sub-model with a behaviour.
#include "py/behavior.hpp"

#include <optional>

#include "models/model/model.hpp"
#include "models/kernel/integrate_behavior.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::element_field::ElementField;

namespace {

constexpr Param integrate_behavior_params[] = {
    {"model"}, {"deformation"}, {"materials"}, {"prev", "None"}, {"dt", "None"}};

const Signature integrate_behavior_sig{
    "integrate_behavior", nullptr, Receiver::None, integrate_behavior_params,
    "Integrate the constitutive law of `model` over one step, A → B.\n"
    "\n"
    "`deformation` is the end-of-step behaviour input ε(B), from `gradient(field,\n"
    "fespace)` or `deformation(u, fespace)`; `prev` is the converged output of the\n"
    "previous step (the state at A: stress, internal variables and start-of-step\n"
    "strain), or None on the first step; `materials` supplies the per-zone material\n"
    "data; `dt` is the time increment (None if the law is rate-independent).\n"
    "\n"
    "Returns the material-state field at B (dual flux or stress plus updated internal\n"
    "variables) of every sub-model that has a behaviour, one zone each in model order,\n"
    "to be fed back as `prev` at the next step. For a linear law the result is\n"
    "consistent with the assembled stiffness (∫ Bᵀ·flux = K·u); a non-linear law gives\n"
    "the exact response."};

ElementField integrate_behavior_body(const Borrowed<ModelClass>& model, const Borrowed<ElementFieldClass>& deformation,
                                     const Borrowed<ElementFieldClass>& materials,
                                     const std::optional<Borrowed<ElementFieldClass>>& prev,
                                     const std::optional<double>& dt) {
  return models::kernel::integrate_behavior_core(model->subs(), *deformation, prev ? &**prev : nullptr, *materials,
                                                 dt);
}

}  // namespace

PyMethodDef integrate_behavior_def =
    function<integrate_behavior_sig, integrate_behavior_body, borrow<ModelClass>, borrow<ElementFieldClass>,
             borrow<ElementFieldClass>, opt<borrow<ElementFieldClass>>, opt<to_f64>>();

}  // namespace quenlith::py
