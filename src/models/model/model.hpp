#pragma once
// Model: the ordered list of sub-models one analysis assembles and solves (not
// stored: it lives in its Python object, or on the stack of an operation).
//
// The list (containers/sub_list.hpp) keeps insertion order, which is the order the
// assembly visits the sub-models and every query reports in. One handle may appear
// twice only through `push_sub` (the Python add_sub path); the unions skip a handle
// already present.
//
// Beside the list, four pattern cells, one per operator kind (Stiffness, Mass,
// Geometric, Tangent): each empty or holding a shared, immutable scatter pattern
// built by the assembly for the current list. Every append to an existing model
// empties all four; every model an operation returns starts with empty cells (a
// copied model too). A pattern handed out stays valid after its cell is emptied.
//
// Operations read the sub-models under read guards taken one at a time; a stale or
// unreadable sub-model stops them with the store's error.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/mesh/mesh.hpp"
#include "models/model/sub_model.hpp"
#include "containers/sub_list.hpp"
#include "models/mod/kind.hpp"
#include "models/contact/contact.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/embedded/embedded.hpp"
#include "models/mpc/mpc.hpp"
#include "parallel/function_ref.hpp"

namespace quenlith::ops::assemble {
struct ScatterPattern;
}

namespace quenlith::containers::model {

using models::ContinuumModel;
using models::OperatorKind;
using models::Physics;

class Model : public SubList<Model, SubModel> {
 public:
  using SubList::SubList;
  static constexpr std::string_view kName = "Model";
  static constexpr std::string_view kItems = "sub-model(s)";
  using Pattern = std::shared_ptr<const ops::assemble::ScatterPattern>;

  // One sub-model per subspace of `fespace`, in order, each made by its kind's
  // constructor from a clone of the subspace handle. The first failure is thrown
  // and every sub-model made so far leaves the store; an empty space gives an empty
  // model.
  static Model heat_conduction(const finite_element_space::FiniteElementSpace& fespace);
  static Model convection(const finite_element_space::FiniteElementSpace& fespace);
  static Model truss(const finite_element_space::FiniteElementSpace& fespace);
  static Model elasticity(const finite_element_space::FiniteElementSpace& fespace, ContinuumModel model);
  static Model plasticity(const finite_element_space::FiniteElementSpace& fespace, ContinuumModel model);
  static Model mazars(const finite_element_space::FiniteElementSpace& fespace, ContinuumModel model);
  static Model timoshenko(const finite_element_space::FiniteElementSpace& fespace);
  static Model frame(const finite_element_space::FiniteElementSpace& fespace);
  static Model frame3d(const finite_element_space::FiniteElementSpace& fespace);
  // A model of one new Dirichlet sub-model (Dirichlet::create's checks; nothing
  // stored on failure).
  static Model dirichlet(std::string imposed_variable, std::string target_dual, const mesh::Mesh& imposed_mesh,
                         const mesh::Mesh& multiplier_mesh, std::optional<std::string> multiplier,
                         std::optional<std::string> imposed_value, models::Sense sense);
  // A model of one new Embedded (Contact) sub-model, with its constructor's checks.
  static Model embedded(const mesh::Mesh& immersed, const mesh::Mesh& host,
                        std::vector<std::pair<std::string, std::string>> components,
                        std::optional<std::vector<std::string>> multipliers,
                        std::optional<std::vector<std::string>> imposed_values, std::optional<double> tol);
  static Model contact(const mesh::Mesh& slave, const mesh::Mesh& master,
                       std::vector<std::pair<std::string, std::string>> components,
                       std::optional<std::string> multiplier, std::optional<std::string> imposed_value);
  // A model of one new Mpc sub-model (Mpc::create's checks; nothing stored on failure).
  static Model mpc(std::vector<models::MpcTerm> terms, const mesh::Mesh& multiplier_mesh,
                   std::optional<std::string> multiplier, std::optional<std::string> imposed_value,
                   models::Sense sense);

  // The primal (dual) names of every sub-model in order, each name once, first
  // occurrence kept (byte comparison).
  std::vector<std::string> primal_vars() const;
  std::vector<std::string> dual_vars() const;
  // The dual at the position of `variable` among the primal names of the first
  // sub-model that has both; nothing when none has.
  std::optional<std::string> dual_of(std::string_view variable) const;
  // The behaviour subspace of every sub-model that has a behaviour, repeats kept;
  // "Model::fespace: model has no domain sub-model to integrate on" when none has.
  finite_element_space::FiniteElementSpace fespace() const;
  // The multiplier submeshes of every constraint sub-model, in order, repeats kept
  // ("mismatched Coords" when they lie on different Coords); empty without one.
  mesh::Mesh multiplier_mesh() const;
  // A new model of the sub-models whose physics list holds `tag`, order kept.
  Model filter(Physics tag) const;

  // The cached pattern of `kind`, or the one `build` makes (stored when the cell is
  // still empty; a failed build leaves it empty).
  Pattern scatter_pattern(OperatorKind kind, parallel::FunctionRef<Pattern()> build) const;
  bool has_pattern(OperatorKind kind) const;

  // "Model: {} sub-model(s)". The debug and dump texts are the list's: items in
  // their resolved form, and each sub-model's description.
  std::string display_text() const;

  // The list grew: every cell goes.
  void after_append() noexcept { patterns_.clear(); }

 private:
  class PatternCells {
   public:
    PatternCells() = default;
    // A copy is a new model: empty cells.
    PatternCells(const PatternCells&) noexcept {}
    PatternCells& operator=(const PatternCells&) noexcept {
      clear();
      return *this;
    }
    PatternCells(PatternCells&& other) noexcept : cells_(other.take()) {}
    PatternCells& operator=(PatternCells&& other) noexcept {
      auto taken = other.take();
      std::lock_guard lock(mutex_);
      cells_ = std::move(taken);
      return *this;
    }
    void clear() noexcept;
    Pattern get(OperatorKind kind) const;
    // The stored pattern: `p`, or the one already there.
    Pattern put(OperatorKind kind, Pattern p);

   private:
    std::array<Pattern, 4> take() noexcept;
    mutable std::mutex mutex_;
    std::array<Pattern, 4> cells_;
  };

  template <class MakeKind>
  static Model per_subspace(const finite_element_space::FiniteElementSpace& fespace, MakeKind&& make);

  mutable PatternCells patterns_;
};

// The multiplier submeshes of one sub-model (empty for a kind that is no constraint).
mesh::Mesh sub_model_multiplier_mesh(const SubModel& sub);
// The kind's behaviour integration; "{name}: no behaviour — integrate_behavior is
// undefined" for a kind without behaviour.
element_field::SubElementField sub_model_integrate_behavior(const SubModel& sub, const models::ZoneHandle& deformation,
                                                            const std::optional<models::ZoneHandle>& previous,
                                                            const std::optional<models::ZoneHandle>& materials,
                                                            std::optional<double> dt);
// `names` with every repeat after the first dropped (byte comparison), order kept.
std::vector<std::string> dedup_names(std::vector<std::string> names);

}  // namespace quenlith::containers::model
