// The Python class SubModel: a read-only view of one stored sub-model.
#include <optional>
#include <string>
#include <vector>

#include "containers/matrix/dof.hpp"
#include "models/model/model.hpp"
#include "models/model/sub_model.hpp"
#include "models/mod/domain.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::model::SubModel;

namespace {

const Signature doc_sig{
    "SubModel", nullptr, Receiver::None, {},
    "A view of one sub-model of a `Model`, from `model[i]` or `model.unit()`; never constructed directly. "
    "It answers the queries of its kind."};
const Signature primal_vars_sig{"primal_vars", "SubModel", Receiver::Self, {},
                                "The primal (column) variable names of this sub-model's kind."};
const Signature dual_vars_sig{"dual_vars", "SubModel", Receiver::Self, {},
                              "The dual (row) variable names of this sub-model's kind."};
const Signature fespace_sig{"fespace", "SubModel", Receiver::Self, {},
                            "The subspace its behaviour is integrated on, or None for a kind without behaviour."};
const Signature physics_sig{"physics", "SubModel", Receiver::Self, {},
                            "Its physics tags: \"mechanical\", \"thermal\" or \"constraint\"."};
const Signature material_components_sig{
    "material_components", "SubModel", Receiver::Self, {},
    "The material components its behaviour requires, or None for a kind without behaviour."};
const Signature multiplier_mesh_sig{
    "multiplier_mesh", "SubModel", Receiver::Self, {},
    "The multiplier submeshes of a constraint, as a Mesh (empty for a kind that is no constraint)."};
const Signature has_behavior_sig{"has_behavior", "SubModel", Receiver::Self, {},
                                 "Whether the kind has a constitutive behaviour."};

std::vector<std::string> primal_vars(const SubModel& s) { return s.kind().primal_vars(); }
std::vector<std::string> dual_vars(const SubModel& s) { return s.kind().dual_vars(); }

std::optional<models::SpaceHandle> fespace(const SubModel& s) {
  if (const models::Behaviour* b = s.kind().behaviour()) return b->behaviour_fespace();
  return std::nullopt;
}

std::vector<std::string> physics(const SubModel& s) {
  return containers::matrix::physics_tag_names(s.kind().physics());
}

std::optional<std::vector<std::string>> material_components(const SubModel& s) {
  if (const models::Behaviour* b = s.kind().behaviour()) return models::to_string_vec(b->material_components());
  return std::nullopt;
}

containers::mesh::Mesh multiplier_mesh(const SubModel& s) { return containers::model::sub_model_multiplier_mesh(s); }

bool has_behavior(const SubModel& s) { return s.kind().behaviour() != nullptr; }

TypeDef sub_model_type_def() {
  using C = SubModelClass;
  using K = Class<C>;
  static PyMethodDef methods[] = {
      method<C, primal_vars_sig, primal_vars>(),
      method<C, dual_vars_sig, dual_vars>(),
      method<C, fespace_sig, fespace>(),
      method<C, physics_sig, physics>(),
      method<C, material_components_sig, material_components>(),
      method<C, has_behavior_sig, has_behavior>(),
      method<C, multiplier_mesh_sig, multiplier_mesh>(),
      K::dump(),
      kMethodsEnd,
  };
  return K::def("_quenlith.SubModel", doc_sig, methods, nullptr, {Container<ModelClass>::sub_or_slot()});
}

}  // namespace

TypeCache SubModelClass::type{&sub_model_type_def};

}  // namespace quenlith::py
