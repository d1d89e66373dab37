#pragma once
// The interfaces every sub-model kind answers, so that the model container, the
// assembly, the kernels' drivers and the solvers never switch on the kind.
//
//   ModelKind             every kind: variables, physics tags, the two optional
//                         views, element kernels, the blocks it adds to each
//                         assembled operator, internal forces, its texts and its
//                         swap record.
//   Behaviour             the constitutive view of the nine physics kinds.
//   MultiplierConstraint  the relation view of the four constraint kinds.
//
// A kind is an immutable record (the handles it holds are counted like any handle);
// every operation reads it only, so any number of threads may call it at once while
// a read guard on its SubModel is held. The views returned by `behaviour()` and
// `constraint()` are the record itself and live no longer than that guard.
//
// Every failure is an Error. The defaults below are the answer of a kind that does
// not override a slot; they never pretend to succeed.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/matrix/dof.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "dump/dump_options.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/prepared_kernel.hpp"
#include "store/handle.hpp"

namespace quenlith::store {
class RecordReader;
class RecordWriter;
}  // namespace quenlith::store

namespace quenlith::models {

// What an element kernel or a point law gets for one cell of one subspace (see
// models/kernel/cell_context.hpp). A kernel receives one context per subspace of its
// block, in block order, never an empty list.
using kernel::CellContext;

using SpaceHandle = store::Handle<containers::finite_element_space::SubFiniteElementSpace>;
using MeshHandle = store::Handle<containers::mesh::SubMesh>;
using ZoneHandle = store::Handle<containers::element_field::SubElementField>;
using containers::element_field::SubElementField;
using containers::matrix::OperatorKind;
using containers::matrix::Ordering;
using containers::matrix::Physics;
using containers::matrix::SubMatrix;
using containers::mesh::NodeId;
using containers::node_field::SubNodeField;

// The sense of a relation. Record values: its index, below kSenseCount.
enum class Sense : std::uint8_t { Equal = 0, GreaterEqual = 1, LessEqual = 2 };
inline constexpr std::uint32_t kSenseCount = 3;
// "=", ">=", "<=".
std::string_view sense_text(Sense s) noexcept;
// No text, "=" or "==" → Equal; ">=" or "≥" → GreaterEqual; "<=" or "≤" → LessEqual,
// byte for byte, nothing trimmed. Anything else: "unknown relation sense '{}'
// (expected '=', '>=' or '<=')".
Sense parse_sense(std::optional<std::string_view> text);

// The plane or solid hypothesis of the continuum kinds. Record values: its index.
enum class ContinuumModel : std::uint8_t { PlaneStress = 0, PlaneStrain = 1, Solid = 2 };
inline constexpr std::uint32_t kContinuumModelCount = 3;
// "PlaneStress", "PlaneStrain", "Solid".
std::string_view debug_name(ContinuumModel m) noexcept;
// "plane_stress", "plane_strain", "solid", matched exactly; nothing otherwise.
std::optional<ContinuumModel> parse_continuum_model(std::string_view text) noexcept;

// "Mechanical", "Thermal", "Constraint", "Other".
std::string_view debug_name(Physics p) noexcept;

// One term of a relation: coefficient · u(node, variable); the multiplier's reaction
// goes to `target_dual` at `node`.
struct RelationTerm {
  std::string variable;
  std::string target_dual;
  double coefficient = 0.0;
  NodeId node = 0;
};

// One linear relation Σ coefficient · u(node, variable) (sense) g, g given under
// `imposed_value` at the multiplier node.
struct Relation {
  std::string imposed_value;
  std::vector<RelationTerm> terms;
  NodeId multiplier_node = 0;
  Sense sense = Sense::Equal;
};

// The recipe of one computed block of a physics kind: the subspaces whose cells are
// integrated together (all on one submesh), the support used for rows and columns,
// the row (dual) and column (primal) names.
struct BlockLayout {
  std::vector<SpaceHandle> fespaces;
  std::vector<std::string> dual_vars;
  std::vector<std::string> primal_vars;
  MeshHandle support;
  Ordering ordering = Ordering::NodesThenVars;
  bool symmetric = true;
};

// One item of `block_recipes`: a computed block made from a layout, or ready
// literal blocks (not stored yet) in order.
using LiteralBlocks = std::vector<SubMatrix>;
using BlockRecipe = std::variant<BlockLayout, LiteralBlocks>;

// The constitutive view of a physics kind.
class Behaviour {
 public:
  virtual ~Behaviour() = default;

  // A new handle of the subspace the material zone must lie on.
  virtual SpaceHandle material_fespace() const = 0;
  // Required material names, in declared order.
  virtual std::span<const std::string_view> material_components() const = 0;
  // Optional material names, taken when supplied.
  virtual std::span<const std::string_view> optional_materials() const = 0;
  // A new handle of the subspace the state fields live on.
  virtual SpaceHandle behaviour_fespace() const = 0;
  // The state names the behaviour writes, in the order its point law writes them.
  virtual std::vector<std::string> output_components() const = 0;

  // The law at Gauss point g of the context's cell: reads the deformation, the
  // previous state and the materials, writes `out` (one value per output component,
  // pre-filled with 0.0). Default: an error naming the kind.
  virtual void gauss_point_law(const CellContext& ctx, const SubElementField& deformation,
                               const SubElementField* previous, const SubElementField* materials, std::uint64_t g,
                               std::optional<double> dt, std::span<double> out) const;
  // One step of the behaviour on `behaviour_fespace`: a new zone of the output
  // components, not stored, made by `gauss_point_law` at every Gauss point (the
  // Gauss-point driver of models/kernel/gauss_point_field.hpp). One body for every
  // kind: a kind gives its law, never its own integration. `previous` is read-locked
  // for the call and handed to every point, as is `dt`; errors are the output names',
  // the guards' and the law's.
  SubElementField integrate_behavior(const ZoneHandle& deformation, const std::optional<ZoneHandle>& previous,
                                     const std::optional<ZoneHandle>& materials, std::optional<double> dt) const;

 protected:
  // The kind's name, for the messages of the defaults.
  virtual std::string_view behaviour_name() const = 0;
};

// The relation view of a constraint kind.
class MultiplierConstraint {
 public:
  virtual ~MultiplierConstraint() = default;
  // The multiplier submeshes, lent while the record lives.
  virtual std::span<const MeshHandle> multiplier_mesh() const = 0;
  // The relations in relation-index order, built anew on every call.
  virtual std::vector<Relation> relations() const = 0;
};

class ModelKind {
 public:
  virtual ~ModelKind() = default;

  // The kind's place among the 13 kinds: the variant index of its record.
  virtual std::uint32_t variant_index() const noexcept = 0;

  // 0, 1: new lists of names.
  virtual std::vector<std::string> primal_vars() const = 0;
  virtual std::vector<std::string> dual_vars() const = 0;
  // 2: constant, one tag.
  virtual std::span<const Physics> physics() const noexcept = 0;
  // 3, 4: the views; none by default.
  virtual const Behaviour* behaviour() const noexcept { return nullptr; }
  virtual const MultiplierConstraint* constraint() const noexcept { return nullptr; }

  // 5 to 8: element kernels, adding into the zeroed block `out` of one cell. The
  // defaults fail with "{name}: no element kernel — element_matrix is undefined",
  // "... no mass kernel — element_mass ...", "... no geometric-stiffness kernel —
  // element_geometric ...", "... no tangent kernel — element_tangent ...".
  virtual void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                              std::span<double> out) const;
  virtual void element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                            std::span<double> out) const;
  virtual void element_geometric(std::span<const CellContext> ctxs, const SubElementField* material,
                                 const SubElementField* state, std::span<double> out) const;
  virtual void element_tangent(std::span<const CellContext> ctxs, const SubElementField* material,
                               const SubElementField* state, std::span<double> out) const;
  // 9: the kernel of an operator (Stiffness → element_matrix, Mass → element_mass,
  // Geometric → element_geometric, Tangent → element_tangent).
  virtual void element_operator(OperatorKind kind, std::span<const CellContext> ctxs, const SubElementField* material,
                                const SubElementField* state, std::span<double> out) const;
  // 9b: element_operator made ready for every cell of one block, whose first
  // subspace `cells` reads (see models/kernel/prepared_kernel.hpp): the same bits,
  // with the per-block work done once. `cells` and the zones are lent for the
  // result's life. Nothing (the default, and whenever a case is not covered): the
  // caller runs element_operator cell by cell.
  virtual std::unique_ptr<kernel::PreparedKernel> prepare_operator(
      OperatorKind kind, const containers::finite_element_space::CellGeometry& cells,
      const SubElementField* material, const SubElementField* state) const;

  // 10: what the kind adds to one operator. Default: [Computed(layout)] when `layout`
  // gives one; else, for Stiffness, [Literal(build_stiffness_blocks)]; else nothing.
  virtual std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const;
  // 11: literal stiffness blocks. Default: without a stiffness layout "{name}:
  // build_stiffness_blocks has no default without a stiffness_layout — override it
  // (e.g. a constraint such as Dirichlet, or a multi-block physics)"; with one, the
  // block the element-block assembly makes of it.
  virtual LiteralBlocks build_stiffness_blocks(const std::optional<ZoneHandle>& material) const;

  // 12 to 16: layouts; none by default, `layout` picks by operator.
  virtual std::optional<BlockLayout> stiffness_layout() const { return std::nullopt; }
  virtual std::optional<BlockLayout> mass_layout() const { return std::nullopt; }
  virtual std::optional<BlockLayout> geometric_layout() const { return std::nullopt; }
  virtual std::optional<BlockLayout> tangent_layout() const { return std::nullopt; }
  virtual std::optional<BlockLayout> layout(OperatorKind kind) const;

  // 17: the element vector of internal forces from the cell's stress. Default: ∫Bᵀσ dΩ.
  virtual void element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                                       std::span<double> out) const;
  // 18: the nodal internal forces of a stress zone on the stiffness layout's support,
  // not stored. Default: without a stiffness layout "{name}: build_internal_forces has
  // no default without a stiffness_layout (e.g. a constraint such as Dirichlet)".
  virtual SubNodeField build_internal_forces(const ZoneHandle& stress) const;

  // 19 to 21: texts. `label` defaults to "SubModel<{name}>". `describe` takes the
  // caller's dump options; no kind's text depends on them.
  virtual std::string_view name() const noexcept = 0;
  virtual std::string label() const;
  virtual std::string describe(const dump::DumpOptions& options) const = 0;

  // The kind's record fields, in order (the variant index is written by the caller).
  virtual void encode(store::RecordWriter& w) const = 0;
};

// The number of cells of a submesh, 0 when it cannot be read (for texts).
std::uint64_t cell_count_or_zero(const MeshHandle& submesh) noexcept;
// The sum of cell_count_or_zero over a list.
std::uint64_t cell_count_or_zero(std::span<const MeshHandle> submeshes) noexcept;

}  // namespace quenlith::models
