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
#include "containers/mesh/node.hpp"
#include "models/model/constraint_rhs.hpp"
#include "models/model/model.hpp"
#include "containers/node_field/node_field.hpp"
#include "models/mod/kind.hpp"
#include "models/mpc/mpc.hpp"
#include "py/bind/container.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::finite_element_space::FiniteElementSpace;
using containers::model::Model;
using containers::node_field::NodeField;

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
const Signature plasticity_sig{
    "plasticity", "Model", Receiver::Cls, fespace_model_params,
    "One von Mises Plasticity sub-model per subspace of `fespace`; `model` as for `elasticity`.\n"
    "\n"
    "Perfect plasticity (no hardening), materials \"E\", \"nu\", \"sigma_y\" (\"rho\" optional).\n"
    "`integrate_behavior` returns the stress, the plastic strain \"eps_p_xx\" .. \"eps_p_xy\", the\n"
    "cumulated plastic strain \"p\", the total strain \"eps_xx\" .. \"eps_xy\", \"sigma_zz\" in 2-D\n"
    "and the algorithmic tangent \"ktan_i_j\" that `tangent` assembles. The previous state is read\n"
    "by component name: each value is 0.0 when no previous zone is given, when the zone lacks that\n"
    "component, or when reading it fails. A `prev` of another kind therefore reads as zeros where\n"
    "it lacks a name: an Elasticity state (stresses, no strains) passed as `prev` counts its\n"
    "stress twice."};
const Signature mazars_sig{
    "mazars", "Model", Receiver::Cls, fespace_model_params,
    "One Mazars damage sub-model per subspace of `fespace`; `model` as for `elasticity`.\n"
    "\n"
    "Materials \"E\", \"nu\", \"eps_d0\", \"A_t\", \"B_t\", \"A_c\", \"B_c\" (\"rho\" optional). The\n"
    "stiffness is the undamaged elastic one and `tangent` adds no block. `integrate_behavior`\n"
    "returns the damaged stress, \"damage\" and \"kappa\", the largest equivalent strain reached.\n"
    "The history is read from `prev`'s \"kappa\": it is 0.0 when no previous zone is given, when\n"
    "the zone has no component named \"kappa\", or when reading it fails, so a `prev` of another\n"
    "kind reads as no history."};
const Signature timoshenko_sig{"timoshenko", "Model", Receiver::Cls, fespace_params,
                               "One Timoshenko beam sub-model per subspace of `fespace` (SEG2 cells of a 1-D "
                               "configuration); each builds its own reduced-quadrature shear subspace."};
const Signature frame_sig{
    "frame", "Model", Receiver::Cls, fespace_params,
    "One planar Frame sub-model per subspace of `fespace` (SEG2 cells, 2-D).\n"
    "\n"
    "Each cell is the linear Timoshenko element with one-point shear (curvature constant\n"
    "along the cell), so a member bent in double curvature needs several cells: a portal\n"
    "frame with one cell per member locks and barely sways, with two cells it sways 25 %\n"
    "short, with four 6 %, with ten 1 % (the error falls as 1/n\u00b2). `frame3d`, with\n"
    "closed-form bending terms, is exact with one cell per member."};
const Signature frame3d_sig{"frame3d", "Model", Receiver::Cls, fespace_params,
                            "One space Frame3d sub-model per subspace of `fespace` (SEG2 cells, 3-D)."};
constexpr Param dirichlet_params[] = {{"imposed_variable"}, {"target_dual"},         {"imposed_mesh"},
                                      {"multiplier_mesh"},  {"multiplier", "None"},  {"imposed_value", "None"},
                                      {"sense", "None"}};
const Signature dirichlet_sig{
    "dirichlet", "Model", Receiver::Cls, dirichlet_params,
    "One Dirichlet constraint: the primal `imposed_variable` is imposed at every node of the POI1 mesh "
    "`imposed_mesh`, through one multiplier node per constrained node (the POI1 `multiplier_mesh`, paired "
    "submesh by submesh and node by node), the reaction going to `target_dual`. `multiplier` defaults to "
    "\"lambda_\" + imposed_variable, `imposed_value` to \"imposed_\" + imposed_variable; `sense` is None, "
    "\"=\" or \"==\" (equality), \">=\" or \"\u2265\", \"<=\" or \"\u2264\"."};
constexpr Param embedded_params[] = {{"immersed"},           {"host"},     {"components"},
                                     {"multipliers", "None"}, {"imposed_values", "None"}, {"tol", "None"}};
const Signature embedded_sig{
    "embedded", "Model", Receiver::Cls, embedded_params,
    "One embedded constraint: every node of `immersed` is tied to the interpolation of `host` (same Coords) "
    "at that node, for each (variable, target_dual) pair of `components`. `multipliers` and `imposed_values` "
    "default to \"lambda_\" and \"imposed_\" + each variable; `tol` (location tolerance) to 1e-6."};
constexpr Param contact_params[] = {
    {"slave"}, {"master"}, {"components"}, {"multiplier", "None"}, {"imposed_value", "None"}};
const Signature contact_sig{
    "contact", "Model", Receiver::Cls, contact_params,
    "One frictionless contact constraint: every node of `slave` is kept on the side of the oriented surface "
    "`master` its facet normal points to (one >= relation per slave node, paired once with its closest "
    "facet). `components` holds one (variable, target_dual) pair per space dimension, in ambient order; "
    "names default to \"lambda_contact\" and \"contact_gap\"."};
constexpr Param mpc_params[] = {
    {"terms"}, {"multiplier_mesh"}, {"multiplier", "None"}, {"imposed_value", "None"}, {"sense", "None"}};
const Signature mpc_sig{"mpc", "Model", Receiver::Cls, mpc_params,
                        "One multi-point constraint: `terms` is a list of (mesh, variable, target_dual, "
                        "coefficient) tuples, relation r using cell r of every term mesh and of "
                        "`multiplier_mesh`; names default to \"lambda_mpc\" and \"mpc_rhs\"; `sense` is "
                        "\"=\", \">=\" or \"<=\"."};

constexpr Param imposed_params[] = {{"imposed"}};
const Signature multiplier_mesh_sig{"multiplier_mesh", "Model", Receiver::Self, {},
                                    "The multiplier submeshes of every constraint sub-model, in order, as a Mesh "
                                    "(empty without constraints)."};
const Signature constraint_rhs_sig{
    "constraint_rhs", "Model", Receiver::Self, imposed_params,
    "The right-hand side of the model's only constraint as a NodeField on its multiplier nodes: `imposed` is a "
    "list of (Node, value) tuples, each node standing for the one relation whose terms hold it; every other "
    "value is 0."};
const Signature constraint_rhs_by_index_sig{
    "constraint_rhs_by_index", "Model", Receiver::Self, imposed_params,
    "The right-hand side of the model's only constraint as a NodeField on its multiplier nodes: `imposed` is a "
    "list of (relation index, value) tuples; every other value is 0."};
const Signature contact_gaps_sig{
    "contact_gaps", "Model", Receiver::Self, {},
    "-g0 of every relation of the model's only contact sub-model, at its multiplier nodes under the contact's "
    "imposed-value name, so that non-penetration reads g0 + C u >= 0."};

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

// Each item a (variable, target_dual) tuple of two str.
std::vector<std::pair<std::string, std::string>> to_component_pairs(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 2);
    std::string variable = to_str(PyTuple_GET_ITEM(tuple.get(), 0));
    return std::pair{std::move(variable), to_str(PyTuple_GET_ITEM(tuple.get(), 1))};
  });
}

// The text of `sense`, parsed once every argument is converted.
models::Sense sense_of(const std::optional<std::string>& sense) {
  return models::parse_sense(sense ? std::optional<std::string_view>(*sense) : std::nullopt);
}

Model dirichlet(std::string&& imposed_variable, std::string&& target_dual, const Borrowed<MeshClass>& imposed_mesh,
                const Borrowed<MeshClass>& multiplier_mesh, std::optional<std::string>&& multiplier,
                std::optional<std::string>&& imposed_value, const std::optional<std::string>& sense) {
  return Model::dirichlet(std::move(imposed_variable), std::move(target_dual), *imposed_mesh, *multiplier_mesh,
                          std::move(multiplier), std::move(imposed_value), sense_of(sense));
}

Model embedded(const Borrowed<MeshClass>& immersed, const Borrowed<MeshClass>& host,
               std::vector<std::pair<std::string, std::string>>&& components,
               std::optional<std::vector<std::string>>&& multipliers,
               std::optional<std::vector<std::string>>&& imposed_values, std::optional<double> tol) {
  return Model::embedded(*immersed, *host, std::move(components), std::move(multipliers), std::move(imposed_values),
                         tol);
}

Model contact(const Borrowed<MeshClass>& slave, const Borrowed<MeshClass>& master,
              std::vector<std::pair<std::string, std::string>>&& components, std::optional<std::string>&& multiplier,
              std::optional<std::string>&& imposed_value) {
  return Model::contact(*slave, *master, std::move(components), std::move(multiplier), std::move(imposed_value));
}

Model mpc(std::vector<models::MpcTerm>&& terms, const Borrowed<MeshClass>& multiplier_mesh,
          std::optional<std::string>&& multiplier, std::optional<std::string>&& imposed_value,
          const std::optional<std::string>& sense) {
  return Model::mpc(std::move(terms), *multiplier_mesh, std::move(multiplier), std::move(imposed_value),
                    sense_of(sense));
}

std::vector<std::string> primal_vars(const Model& m) { return m.primal_vars(); }
std::vector<std::string> dual_vars(const Model& m) { return m.dual_vars(); }
std::optional<std::string> dual_of(const Model& m, const std::string& variable) { return m.dual_of(variable); }
FiniteElementSpace fespace(const Model& m) { return m.fespace(); }

containers::mesh::Mesh multiplier_mesh(const Model& m) { return m.multiplier_mesh(); }

// Each item a (Node, float) tuple; only the node's id is kept.
std::vector<std::pair<containers::mesh::NodeId, double>> to_node_values(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 2);
    const Borrowed<NodeClass> node = borrow<NodeClass>(PyTuple_GET_ITEM(tuple.get(), 0));
    const double g = to_f64(PyTuple_GET_ITEM(tuple.get(), 1));
    return std::pair{node->id(), g};
  });
}

// Each item an (index, float) tuple.
std::vector<std::pair<std::uint64_t, double>> to_index_values(PyObject* obj) {
  return to_list(obj, [](PyObject* item) {
    Ref tuple = to_tuple_n(item, 2);
    const std::uint64_t index = to_u64(PyTuple_GET_ITEM(tuple.get(), 0));
    return std::pair{index, to_f64(PyTuple_GET_ITEM(tuple.get(), 1))};
  });
}

NodeField constraint_rhs(const Model& m, const std::vector<std::pair<containers::mesh::NodeId, double>>& imposed) {
  return containers::model::constraint_rhs(m, imposed);
}
NodeField constraint_rhs_by_index(const Model& m, const std::vector<std::pair<std::uint64_t, double>>& imposed) {
  return containers::model::constraint_rhs_by_index(m, imposed);
}

NodeField contact_gaps(const Model& m) { return containers::model::contact_gaps(m); }

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
      function<dirichlet_sig, dirichlet, to_str, to_str, borrow<MeshClass>, borrow<MeshClass>, opt<to_str>,
               opt<to_str>, opt<to_str>>(METH_CLASS),
      function<embedded_sig, embedded, borrow<MeshClass>, borrow<MeshClass>, to_component_pairs,
               opt<to_str_list>, opt<to_str_list>, opt<to_f64>>(METH_CLASS),
      function<contact_sig, contact, borrow<MeshClass>, borrow<MeshClass>, to_component_pairs, opt<to_str>,
               opt<to_str>>(METH_CLASS),
      function<mpc_sig, mpc, to_mpc_terms, borrow<MeshClass>, opt<to_str>, opt<to_str>, opt<to_str>>(METH_CLASS),
      method<C, primal_vars_sig, primal_vars>(),
      method<C, dual_vars_sig, dual_vars>(),
      method<C, dual_of_sig, dual_of, to_str>(),
      method<C, fespace_sig, fespace>(),
      method<C, filter_sig, filter, to_str>(),
      method<C, multiplier_mesh_sig, multiplier_mesh>(),
      method<C, constraint_rhs_sig, constraint_rhs, to_node_values>(),
      method<C, constraint_rhs_by_index_sig, constraint_rhs_by_index, to_index_values>(),
      method<C, contact_gaps_sig, contact_gaps>(),
  };
  return Container<C>::def("_quenlith.Model", new_sig, methods, {{constructor<C, new_sig, make_model>()}});
}

}  // namespace

TypeCache ModelClass::type{&model_type_def};

}  // namespace quenlith::py
