// The Python class Model: the ordered sub-models of a physics problem, with the
// class methods that build them kind by kind.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/model/model.hpp"
#include "models/mod/kind.hpp"
#include "models/mpc/mpc.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::finite_element_space::FiniteElementSpace;
using containers::model::Model;

namespace {

using SpaceArg = Borrowed<FiniteElementSpaceClass>;

const Signature new_sig{
    "__new__", "Model", Receiver::Constructor, {},
    "A physics problem made of sub-models over finite-element spaces, built with class methods such as "
    "`Model.heat_conduction(fes)` or `Model.dirichlet(...)` and composed with `|`."};

constexpr Param fespace_params[] = {{"fespace"}};
constexpr Param fespace_model_params[] = {{"fespace"}, {"model"}};
const Signature heat_conduction_sig{"heat_conduction", "Model", Receiver::Cls, fespace_params,
                                    "One HeatConduction sub-model per subspace of `fespace` (primal \"T\", dual "
                                    "\"q\")."};
const Signature convection_sig{"convection", "Model", Receiver::Cls, fespace_params,
                               "One Convection sub-model per subspace of `fespace`, meant to be a boundary space "
                               "(edges in 2-D, faces in 3-D; not checked)."};
const Signature truss_sig{"truss", "Model", Receiver::Cls, fespace_params,
                          "One Truss sub-model per subspace of `fespace` (SEG2 cells, 1-D to 3-D)."};
const Signature elasticity_sig{"elasticity", "Model", Receiver::Cls, fespace_model_params,
                               "One Elasticity sub-model per subspace of `fespace`; `model` is \"plane_stress\" or "
                               "\"plane_strain\" in 2-D, \"solid\" in 3-D."};
const Signature plasticity_sig{"plasticity", "Model", Receiver::Cls, fespace_model_params,
                               "One von Mises Plasticity sub-model per subspace of `fespace`; `model` as for "
                               "`elasticity`."};
const Signature mazars_sig{"mazars", "Model", Receiver::Cls, fespace_model_params,
                           "One Mazars damage sub-model per subspace of `fespace`; `model` as for `elasticity`."};
const Signature timoshenko_sig{"timoshenko", "Model", Receiver::Cls, fespace_params,
                               "One Timoshenko beam sub-model per subspace of `fespace` (SEG2 cells of a 1-D "
                               "configuration); each builds its own reduced-quadrature shear subspace."};
const Signature frame_sig{"frame", "Model", Receiver::Cls, fespace_params,
                          "One planar Frame sub-model per subspace of `fespace` (SEG2 cells, 2-D)."};
const Signature frame3d_sig{"frame3d", "Model", Receiver::Cls, fespace_params,
                            "One space Frame3d sub-model per subspace of `fespace` (SEG2 cells, 3-D)."};
constexpr Param mpc_params[] = {
    {"terms"}, {"multiplier_mesh"}, {"multiplier", "None"}, {"imposed_value", "None"}, {"sense", "None"}};
const Signature mpc_sig{"mpc", "Model", Receiver::Cls, mpc_params,
                        "One multi-point constraint: `terms` is a list of (mesh, variable, target_dual, "
                        "coefficient) tuples, relation r using cell r of every term mesh and of "
                        "`multiplier_mesh`; names default to \"lambda_mpc\" and \"mpc_rhs\"; `sense` is "
                        "\"=\", \">=\" or \"<=\"."};

const Signature primal_vars_sig{"primal_vars", "Model", Receiver::Self, {},
                                "The primal variable names of all sub-models, each once, in first-seen order."};
const Signature dual_vars_sig{"dual_vars", "Model", Receiver::Self, {},
                              "The dual variable names of all sub-models, each once, in first-seen order."};
constexpr Param variable_params[] = {{"variable"}};
const Signature dual_of_sig{"dual_of", "Model", Receiver::Self, variable_params,
                            "The dual paired with `variable` in the first sub-model that has it, or None."};
const Signature fespace_sig{"fespace", "Model", Receiver::Self, {},
                            "The behaviour subspaces of the sub-models that have one, in order (repeats kept)."};
constexpr Param physics_params[] = {{"physics"}};
const Signature filter_sig{"filter", "Model", Receiver::Self, physics_params,
                           "The sub-models whose physics tags hold `physics` (\"mechanical\", \"thermal\", "
                           "\"constraint\" or \"other\"), order kept."};

Model make_model() { return Model(); }

Model heat_conduction(const SpaceArg& fes) { return Model::heat_conduction(*fes); }
Model convection(const SpaceArg& fes) { return Model::convection(*fes); }
Model truss(const SpaceArg& fes) { return Model::truss(*fes); }
Model timoshenko(const SpaceArg& fes) { return Model::timoshenko(*fes); }
Model frame(const SpaceArg& fes) { return Model::frame(*fes); }
Model frame3d(const SpaceArg& fes) { return Model::frame3d(*fes); }

// The hypothesis named by `text`, checked before anything is built.
models::ContinuumModel continuum_model(std::string_view entry, const std::string& text) {
  if (std::optional<models::ContinuumModel> m = models::parse_continuum_model(text)) return *m;
  raise_value_error(
      fmt::format("{}: unknown model '{}' (expected plane_stress|plane_strain|solid)", entry, text));
}

Model elasticity(const SpaceArg& fes, const std::string& model) {
  return Model::elasticity(*fes, continuum_model("elasticity", model));
}
Model plasticity(const SpaceArg& fes, const std::string& model) {
  return Model::plasticity(*fes, continuum_model("plasticity", model));
}
Model mazars(const SpaceArg& fes, const std::string& model) {
  return Model::mazars(*fes, continuum_model("mazars", model));
}

// Each tuple (Mesh, str, str, float); the mesh is held while its submesh handles
// are copied into the term.
std::vector<models::MpcTerm> to_mpc_terms(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 4);
    const Borrowed<MeshClass> mesh = borrow<MeshClass>(PyTuple_GET_ITEM(tuple.get(), 0));
    std::string variable = to_str(PyTuple_GET_ITEM(tuple.get(), 1));
    std::string target_dual = to_str(PyTuple_GET_ITEM(tuple.get(), 2));
    const double coefficient = to_f64(PyTuple_GET_ITEM(tuple.get(), 3));
    return models::MpcTerm::create(*mesh, std::move(variable), std::move(target_dual), coefficient);
  });
}

Model mpc(std::vector<models::MpcTerm>&& terms, const Borrowed<MeshClass>& multiplier_mesh,
          std::optional<std::string>&& multiplier, std::optional<std::string>&& imposed_value,
          const std::optional<std::string>& sense) {
  const models::Sense s = models::parse_sense(sense ? std::optional<std::string_view>(*sense) : std::nullopt);
  return Model::mpc(std::move(terms), *multiplier_mesh, std::move(multiplier), std::move(imposed_value), s);
}

std::vector<std::string> primal_vars(const Model& m) { return m.primal_vars(); }
std::vector<std::string> dual_vars(const Model& m) { return m.dual_vars(); }
std::optional<std::string> dual_of(const Model& m, const std::string& variable) { return m.dual_of(variable); }
FiniteElementSpace fespace(const Model& m) { return m.fespace(); }

Model filter(const Model& m, const std::string& physics) {
  const std::optional<models::Physics> tag = containers::matrix::parse_physics(physics);
  if (!tag)
    raise_value_error(
        fmt::format("filter: unknown physics '{}' (expected mechanical|thermal|constraint|other)", physics));
  return m.filter(*tag);
}

TypeDef model_type_def() {
  using C = ModelClass;
  static const PyMethodDef methods[] = {
      function<heat_conduction_sig, heat_conduction, borrow<FiniteElementSpaceClass>>(METH_CLASS),
      function<convection_sig, convection, borrow<FiniteElementSpaceClass>>(METH_CLASS),
      function<truss_sig, truss, borrow<FiniteElementSpaceClass>>(METH_CLASS),
      function<elasticity_sig, elasticity, borrow<FiniteElementSpaceClass>, to_str>(METH_CLASS),
      function<plasticity_sig, plasticity, borrow<FiniteElementSpaceClass>, to_str>(METH_CLASS),
      function<mazars_sig, mazars, borrow<FiniteElementSpaceClass>, to_str>(METH_CLASS),
      function<timoshenko_sig, timoshenko, borrow<FiniteElementSpaceClass>>(METH_CLASS),
      function<frame_sig, frame, borrow<FiniteElementSpaceClass>>(METH_CLASS),
      function<frame3d_sig, frame3d, borrow<FiniteElementSpaceClass>>(METH_CLASS),
      function<mpc_sig, mpc, to_mpc_terms, borrow<MeshClass>, opt<to_str>, opt<to_str>, opt<to_str>>(METH_CLASS),
      method<C, primal_vars_sig, primal_vars>(),
      method<C, dual_vars_sig, dual_vars>(),
      method<C, dual_of_sig, dual_of, to_str>(),
      method<C, fespace_sig, fespace>(),
      method<C, filter_sig, filter, to_str>(),
  };
  return Container<C>::def("_quenlith.Model", new_sig, methods, {{constructor<C, new_sig, make_model>()}});
}

}  // namespace

TypeCache ModelClass::type{&model_type_def};

}  // namespace quenlith::py
