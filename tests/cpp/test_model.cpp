// Models in the core: the kinds' answers and defaults, the construction rules, the
// model container's queries and pattern cells, and the swap records of all 13 kinds
// (also as the sub-model a computed matrix block names).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/model.hpp"
#include "models/model/sub_model.hpp"
#include "models/contact/contact.hpp"
#include "models/convection/convection.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/elasticity/elasticity.hpp"
#include "models/embedded/embedded.hpp"
#include "models/frame/frame.hpp"
#include "models/frame3d/frame3d.hpp"
#include "models/heat_conduction/heat_conduction.hpp"
#include "models/mazars/mazars.hpp"
#include "models/mpc/mpc.hpp"
#include "models/plasticity/plasticity.hpp"
#include "models/timoshenko/timoshenko.hpp"
#include "models/truss/truss.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace store = quenlith::store;
using namespace quenlith::models;
using quenlith::containers::element_field::SubElementField;
using quenlith::containers::finite_element_space::FiniteElementSpace;
using quenlith::containers::finite_element_space::Interpolation;
using quenlith::containers::finite_element_space::QuadratureRule;
using quenlith::containers::finite_element_space::SubFiniteElementSpace;
using quenlith::containers::matrix::ComputedRecipe;
using quenlith::containers::matrix::ErasedHandle;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::Mesh;
using quenlith::containers::mesh::SubMesh;
using quenlith::containers::model::Model;
using quenlith::containers::model::SubModel;
using quenlith::testing::error_text;
using store::Handle;
using Names = std::vector<std::string>;

// A Coords of `dim` dimensions with `n` nodes along the first axis.
Handle<Coords> line_coords(std::uint8_t dim, std::uint32_t n) {
  Handle<Coords> h = store::insert(Coords(dim));
  store::WriteGuard<Coords> g = store::write(h);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::vector<double> x(dim, 0.0);
    x[0] = i;
    g->decref(g->add_node(x));
  }
  return h;
}

// A submesh of `type` over `coords` whose cells are the given id lists.
MeshHandle submesh(const Handle<Coords>& coords, ElementType type, const std::vector<std::vector<NodeId>>& cells) {
  SubMesh s(type, coords);
  for (const auto& c : cells) s.add_cell(c);
  return store::insert(std::move(s));
}

SpaceHandle space(const MeshHandle& m, QuadratureRule q = QuadratureRule::GAUSS) {
  return store::insert(SubFiniteElementSpace::create(m, Interpolation::LAGRANGE1, q));
}

// Two SEG2 cells over three nodes of a `dim`-D Coords.
SpaceHandle bars(std::uint8_t dim) { return space(submesh(line_coords(dim, 3), ElementType::SEG2, {{0, 1}, {1, 2}})); }
// Two triangles over four nodes of a 2-D Coords.
SpaceHandle triangles() { return space(submesh(line_coords(2, 4), ElementType::TRI3, {{0, 1, 2}, {1, 3, 2}})); }
// One tetrahedron of a 3-D Coords.
SpaceHandle tetrahedron() { return space(submesh(line_coords(3, 4), ElementType::TET4, {{0, 1, 2, 3}})); }

std::size_t live_sub_models() {
  auto& s = store::Store<SubModel>::instance();
  return s.n_entries() - s.n_free();
}

Handle<SubModel> stored(std::unique_ptr<ModelKind> kind) { return store::insert(SubModel(std::move(kind))); }

// One stored sub-model of every kind, in kind order, on small meshes; the
// constraint kinds carry every field of their records.
std::vector<Handle<SubModel>> one_of_each_kind() {
  const Handle<Coords> c = line_coords(2, 4);
  const MeshHandle poi = submesh(c, ElementType::POI1, {{0}, {1}});
  const MeshHandle mult = submesh(c, ElementType::POI1, {{2}, {3}});
  std::vector<Handle<SubModel>> out;
  out.push_back(store::insert(SubModel::of(HeatConduction::create(triangles()))));
  out.push_back(store::insert(SubModel::of(Convection::create(bars(2)))));
  out.push_back(stored(std::make_unique<Dirichlet>(
      Dirichlet::Fields{"T", "q", "lambda_T", "imposed_T", {poi}, {mult}, Sense::LessEqual})));
  Mpc::Fields mpc;
  mpc.terms.push_back(MpcTerm{{poi}, "u_x", "f_x", -0.25});
  mpc.multiplier_mesh = {mult};
  mpc.multiplier = "lambda_mpc";
  mpc.imposed_value = "mpc_rhs";
  mpc.sense = Sense::GreaterEqual;
  out.push_back(stored(std::make_unique<Mpc>(std::move(mpc))));
  out.push_back(stored(std::make_unique<Embedded>(
      Embedded::Fields{{poi}, {mult}, {poi},
                       {{{0, 1}, {0.25, 0.75}}, {{1, 2}, {0.5, 0.5}}},
                       {{"u_x", "f_x", "lambda_u_x", "imposed_u_x"}, {"u_y", "f_y", "lambda_u_y", "imposed_u_y"}}})));
  out.push_back(stored(std::make_unique<Contact>(Contact::Fields{{poi},
                                                                 {mult},
                                                                 {poi, mult},
                                                                 {{{0, 1}, {0.5, 0.5}, {0.0, 1.0}, -0.125}},
                                                                 {{"u_x", "f_x"}, {"u_y", "f_y"}},
                                                                 "lambda_contact",
                                                                 "contact_gap"})));
  out.push_back(store::insert(SubModel::of(Truss::create(bars(3)))));
  out.push_back(store::insert(SubModel::of(Elasticity::create(triangles(), ContinuumModel::PlaneStress))));
  out.push_back(store::insert(SubModel::of(Plasticity::create(tetrahedron(), ContinuumModel::Solid))));
  out.push_back(store::insert(SubModel::of(Mazars::create(triangles(), ContinuumModel::PlaneStrain))));
  out.push_back(store::insert(SubModel::of(Timoshenko::create(bars(1)))));
  out.push_back(store::insert(SubModel::of(Frame::create(bars(2)))));
  out.push_back(store::insert(SubModel::of(Frame3d::create(bars(3)))));
  return out;
}

std::vector<std::uint8_t> record_of(const Handle<SubModel>& h) {
  store::RecordWriter w;
  store::read(h)->encode(w);
  return w.take();
}

// ---------------------------------------------------------------------------
// Swap records

using SwapDir = quenlith::testing::SwapDirTest;

TEST_F(SwapDir, EveryKindReadsBackWithItsRecordTextsAndCounts) {
  const std::vector<Handle<SubModel>> kinds = one_of_each_kind();
  ASSERT_EQ(kinds.size(), 13u);
  auto& subs = store::Store<SubModel>::instance();
  auto& meshes = store::Store<SubMesh>::instance();
  for (std::uint32_t i = 0; i < kinds.size(); ++i) {
    const Handle<SubModel>& h = kinds[i];
    SCOPED_TRACE(std::string(store::read(h)->kind().name()));
    EXPECT_EQ(store::read(h)->kind().variant_index(), i);
    const std::vector<std::uint8_t> record = record_of(h);
    const std::string label = store::read(h)->display_text();
    const std::string debug = store::read(h)->debug_text();
    const std::string described = store::read(h)->dump_text({});
    const Names primal = store::read(h)->kind().primal_vars();
    // The first submesh the record names keeps its count across the round trip.
    std::optional<MeshHandle> first_mesh;
    if (const MultiplierConstraint* mc = store::read(h)->kind().constraint()) first_mesh = mc->multiplier_mesh()[0];
    if (const Behaviour* b = store::read(h)->kind().behaviour())
      first_mesh = store::read(b->behaviour_fespace())->submesh();
    const std::uint32_t mesh_count = meshes.use_count(*first_mesh);

    subs.swap_out(h);
    ASSERT_EQ(subs.residency(h), store::ResidencyKind::SwappedOut);
    EXPECT_EQ(store::read(h)->display_text(), label);
    EXPECT_EQ(subs.residency(h), store::ResidencyKind::Resident);
    EXPECT_EQ(store::read(h)->debug_text(), debug);
    EXPECT_EQ(store::read(h)->dump_text({}), described);
    EXPECT_EQ(store::read(h)->kind().primal_vars(), primal);
    EXPECT_EQ(record_of(h), record);
    EXPECT_EQ(meshes.use_count(*first_mesh), mesh_count);
  }
}

TEST(SubModelRecord, SizesOfTheFixedRecords) {
  const std::vector<Handle<SubModel>> kinds = one_of_each_kind();
  EXPECT_EQ(record_of(kinds[Mazars::kIndex]).size(), 32u);    // index, 2 handles, dim, model
  EXPECT_EQ(record_of(kinds[Frame3d::kIndex]).size(), 20u);   // index, 2 handles
  EXPECT_EQ(record_of(kinds[Timoshenko::kIndex]).size(), 28u);  // index, 3 handles
}

std::string decode_error(const std::vector<std::uint8_t>& bytes) {
  return error_text([&] {
    store::RecordReader r(bytes);
    store::detail::OwnershipNeutralScope neutral;  // the handles belong to the record
    SubModel::decode(r);
  });
}

TEST(SubModelRecord, DamagedRecordsAreRefused) {
  const std::vector<Handle<SubModel>> kinds = one_of_each_kind();
  std::vector<std::uint8_t> bytes = record_of(kinds[Mazars::kIndex]);
  EXPECT_EQ(decode_error(bytes), "<no error>");
  bytes[28] = 3;  // the continuum model
  EXPECT_EQ(decode_error(bytes), "serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3");
  bytes[0] = 13;  // the kind
  EXPECT_EQ(decode_error(bytes),
            "serialization error: invalid value: integer `13`, expected variant index 0 <= i < 13");
  std::vector<std::uint8_t> dirichlet = record_of(kinds[Dirichlet::kIndex]);
  EXPECT_EQ(decode_error(dirichlet), "<no error>");
  dirichlet[dirichlet.size() - 4] = 3;  // the sense, little-endian
  EXPECT_EQ(decode_error(dirichlet),
            "serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3");
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    std::vector<std::uint8_t> cut = record_of(kinds[k]);
    cut.pop_back();
    EXPECT_NE(decode_error(cut), "<no error>") << "kind " << k;
  }
}

// The space dimension and the continuum model size the kernels' element tables: a
// record that pairs them otherwise than construction allows is refused before any
// kernel sees it.
TEST(SubModelRecord, SpaceDimAndModelAreCheckedBeforeTheySizeAKernel) {
  const std::vector<Handle<SubModel>> kinds = one_of_each_kind();
  auto with = [&](std::size_t kind, std::uint64_t dim, std::optional<std::uint32_t> model) {
    std::vector<std::uint8_t> bytes = record_of(kinds[kind]);
    std::memcpy(bytes.data() + 20, &dim, 8);  // after the index and the two handles
    if (model) std::memcpy(bytes.data() + 28, &*model, 4);
    return decode_error(bytes);
  };
  const struct {
    std::size_t kind;
    std::uint64_t dim;
    std::optional<std::uint32_t> model;
    const char* error;
  } cases[] = {
      {Truss::kIndex, 3, std::nullopt, "<no error>"},
      {Truss::kIndex, 1, std::nullopt, "<no error>"},
      {Truss::kIndex, 0, std::nullopt, "serialization error: Truss record: space dim 0 is not 1, 2 or 3"},
      {Truss::kIndex, 4, std::nullopt, "serialization error: Truss record: space dim 4 is not 1, 2 or 3"},
      {Truss::kIndex, std::uint64_t{1} << 40, std::nullopt,
       "serialization error: Truss record: space dim 1099511627776 is not 1, 2 or 3"},
      {Elasticity::kIndex, 2, 1, "<no error>"},
      {Elasticity::kIndex, 3, 2, "<no error>"},
      {Elasticity::kIndex, 3, 0, "serialization error: continuum record: model PlaneStress with a 3-D space"},
      {Plasticity::kIndex, 2, 2, "serialization error: continuum record: model Solid with a 2-D space"},
      {Mazars::kIndex, 1, 1, "serialization error: continuum record: model PlaneStrain with a 1-D space"},
      {Mazars::kIndex, 255, 2, "serialization error: continuum record: model Solid with a 255-D space"},
  };
  for (const auto& c : cases) EXPECT_EQ(with(c.kind, c.dim, c.model), c.error) << c.kind << " " << c.dim;
}

TEST_F(SwapDir, ComputedBlockReadsItsSubModelAndZonesBack) {
  const SpaceHandle s = triangles();
  const Handle<SubModel> sub = store::insert(SubModel::of(Elasticity::create(s, ContinuumModel::PlaneStress)));
  const ZoneHandle material = store::insert(SubElementField::create(s, {"E", "nu"}));
  const std::optional<BlockLayout> layout = store::read(sub)->kind().stiffness_layout();
  ASSERT_TRUE(layout);
  ComputedRecipe recipe{ErasedHandle(sub), layout->fespaces, ErasedHandle(material), OperatorKind::Stiffness,
                        std::nullopt};
  const Handle<SubMatrix> block = store::insert(SubMatrix::computed(
      layout->support, layout->support, layout->dual_vars, layout->primal_vars, layout->ordering, true,
      std::move(recipe)));
  const std::uint32_t sub_count = store::Store<SubModel>::instance().use_count(sub);
  store::Store<SubMatrix>::instance().swap_out(block);
  store::ReadGuard<SubMatrix> back = store::read(block);
  ASSERT_TRUE(back->recipe());
  const Handle<SubModel>* named = back->recipe()->submodel.as<SubModel>();
  ASSERT_NE(named, nullptr);
  EXPECT_TRUE(*named == sub);
  EXPECT_EQ(store::read(*named)->kind().name(), "Elasticity");
  ASSERT_TRUE(back->recipe()->material);
  EXPECT_TRUE(*back->recipe()->material->as<SubElementField>() == material);
  EXPECT_EQ(store::Store<SubModel>::instance().use_count(sub), sub_count);
}

// ---------------------------------------------------------------------------
// Kinds

TEST(ModelKind, ParseSense) {
  EXPECT_EQ(parse_sense(std::nullopt), Sense::Equal);
  const std::pair<const char*, Sense> accepted[] = {{"=", Sense::Equal},          {"==", Sense::Equal},
                                                    {">=", Sense::GreaterEqual},  {"\u2265", Sense::GreaterEqual},
                                                    {"<=", Sense::LessEqual},     {"\u2264", Sense::LessEqual}};
  for (const auto& [text, sense] : accepted) EXPECT_EQ(parse_sense(text), sense) << text;
  for (const char* text : {"=>", " >=", "", "GE"})
    EXPECT_EQ(error_text([&] { parse_sense(text); }),
              fmt::format("unknown relation sense '{}' (expected '=', '>=' or '<=')", text));
}

// What block_recipes gives: "computed:N" (a layout of N subspaces), "empty", or the error.
std::string recipes_of(const Handle<SubModel>& h, OperatorKind op) {
  try {
    const std::vector<BlockRecipe> r = store::read(h)->kind().block_recipes(op, std::nullopt);
    if (r.empty()) return "empty";
    if (r.size() == 1 && std::holds_alternative<LiteralBlocks>(r[0]))
      return fmt::format("literal:{}", std::get<LiteralBlocks>(r[0]).size());
    if (r.size() != 1 || !std::holds_alternative<BlockLayout>(r[0])) return "other";
    return fmt::format("computed:{}", std::get<BlockLayout>(r[0]).fespaces.size());
  } catch (const quenlith::Error& e) {
    return e.text();
  }
}

TEST(ModelKind, BlockRecipesFollowTheLayoutsOfEachKind) {
  const std::vector<Handle<SubModel>> k = one_of_each_kind();
  // Stiffness, Mass, Geometric, Tangent for each kind in kind order.
  const std::vector<std::vector<std::string>> expected = {
      {"computed:1", "computed:1", "empty", "empty"},  // HeatConduction
      {"computed:1", "empty", "empty", "empty"},       // Convection
      {"literal:2", "empty", "empty", "empty"},  // Dirichlet: C, Cᵀ of its one submesh pair
      {"literal:2", "empty", "empty", "empty"},  // Mpc: C, Cᵀ of its one term
      // Embedded: this record binds host node 2, which its constrained list lacks.
      {"add_entry: col node 2 not in col_support", "empty", "empty", "empty"},
      {"literal:2", "empty", "empty", "empty"},  // Contact: one C, Cᵀ for all components
      {"computed:1", "computed:1", "computed:1", "empty"},       // Truss
      {"computed:1", "computed:1", "computed:1", "computed:1"},  // Elasticity
      {"computed:1", "computed:1", "computed:1", "computed:1"},  // Plasticity
      {"computed:1", "computed:1", "computed:1", "empty"},       // Mazars
      {"computed:2", "computed:1", "empty", "empty"},            // Timoshenko: bending + shear, bending
      {"computed:1", "computed:1", "computed:1", "empty"},       // Frame
      {"computed:1", "computed:1", "computed:1", "empty"},       // Frame3d
  };
  const OperatorKind ops[] = {OperatorKind::Stiffness, OperatorKind::Mass, OperatorKind::Geometric,
                              OperatorKind::Tangent};
  for (std::size_t i = 0; i < k.size(); ++i)
    for (std::size_t o = 0; o < 4; ++o)
      EXPECT_EQ(recipes_of(k[i], ops[o]), expected[i][o]) << store::read(k[i])->kind().name() << " op " << o;
}

TEST(ModelKind, LayoutsCarryTheSupportAndTheKindsNames) {
  const SpaceHandle bending = bars(1);
  const Timoshenko t = Timoshenko::create(bending);
  const BlockLayout l = *t.stiffness_layout();
  ASSERT_EQ(l.fespaces.size(), 2u);
  EXPECT_TRUE(l.fespaces[0] == bending);
  EXPECT_TRUE(l.fespaces[1] == t.shear());
  EXPECT_TRUE(l.support == t.support());
  EXPECT_EQ(l.dual_vars, (Names{"f_w", "m_theta"}));
  EXPECT_EQ(l.primal_vars, (Names{"w", "theta"}));
  EXPECT_EQ(l.ordering, Ordering::NodesThenVars);
  EXPECT_TRUE(l.symmetric);
  // The shear subspace: same submesh, LAGRANGE1 and REDUCED whatever the bending rule.
  const SpaceHandle reduced_bending = space(store::read(bending)->submesh(), QuadratureRule::REDUCED);
  for (const SpaceHandle& b : {bending, reduced_bending}) {
    const Timoshenko beam = Timoshenko::create(b);
    store::ReadGuard<SubFiniteElementSpace> shear = store::read(beam.shear());
    EXPECT_TRUE(shear->submesh() == store::read(b)->submesh());
    EXPECT_EQ(shear->interpolation(), Interpolation::LAGRANGE1);
    EXPECT_EQ(shear->quadrature(), QuadratureRule::REDUCED);
    EXPECT_TRUE(beam.material_fespace() == b);
  }
  EXPECT_EQ(store::read(t.support())->cell_count(), 3u);
}

TEST(ModelKind, DefaultsFailWithTheirTexts) {
  const Frame frame = Frame::create(bars(2));
  EXPECT_EQ(error_text([&] { frame.element_operator(OperatorKind::Tangent, {}, nullptr, nullptr, {}); }),
            "Frame: no tangent kernel \u2014 element_tangent is undefined");
  EXPECT_EQ(error_text([&] { frame.element_operator(OperatorKind::Mass, {}, nullptr, nullptr, {}); }),
            "Frame requires a material field");
  const std::vector<Handle<SubModel>> k = one_of_each_kind();
  const ModelKind& dirichlet = store::read(k[Dirichlet::kIndex])->kind();
  EXPECT_EQ(error_text([&] { dirichlet.element_operator(OperatorKind::Mass, {}, nullptr, nullptr, {}); }),
            "Dirichlet: no mass kernel \u2014 element_mass is undefined");
  const ZoneHandle stress = store::insert(SubElementField::create(triangles(), {"sigma_xx"}));
  EXPECT_EQ(error_text([&] { dirichlet.build_internal_forces(stress); }),
            "Dirichlet: build_internal_forces has no default without a stiffness_layout (e.g. a constraint such as "
            "Dirichlet)");
  EXPECT_EQ(error_text([&] { dirichlet.element_operator(OperatorKind::Geometric, {}, nullptr, nullptr, {}); }),
            "Dirichlet: no geometric-stiffness kernel \u2014 element_geometric is undefined");
  // The defaults run the kernels: a missing material zone is a broken precondition,
  // and the triangles of this test's collinear nodes are degenerate.
  const ModelKind& elasticity = store::read(k[Elasticity::kIndex])->kind();
  EXPECT_EQ(error_text([&] { elasticity.build_stiffness_blocks(std::nullopt); }),
            "Elasticity declares a material_fespace \u21d2 material is supplied");
  EXPECT_EQ(error_text([&] { elasticity.build_internal_forces(stress); }), "inverse_small: singular matrix");
  EXPECT_NE(error_text([&] { elasticity.behaviour()->integrate_behavior(stress, std::nullopt, std::nullopt, {}); }),
            "<no error>");
  // Two host bindings, two components: one relation per pair, component by component.
  EXPECT_EQ(store::read(k[Embedded::kIndex])->kind().constraint()->relations().size(), 4u);
}

TEST(ModelKind, BehaviourAnswers) {
  const std::vector<Handle<SubModel>> k = one_of_each_kind();
  auto outputs = [&](std::uint32_t i) { return store::read(k[i])->kind().behaviour()->output_components(); };
  EXPECT_EQ(outputs(HeatConduction::kIndex), (Names{"flux_x", "flux_y"}));
  EXPECT_EQ(outputs(Elasticity::kIndex), (Names{"sigma_xx", "sigma_yy", "sigma_xy"}));
  EXPECT_EQ(outputs(Mazars::kIndex), (Names{"sigma_xx", "sigma_yy", "sigma_xy", "damage", "kappa"}));
  const Names plastic3 = outputs(Plasticity::kIndex);
  EXPECT_EQ(plastic3.size(), 40u);
  EXPECT_EQ(plastic3[6], "eps_p_xx");
  EXPECT_EQ(plastic3[12], "p");
  EXPECT_EQ(plastic3.back(), "ktan_5_5");
  const Plasticity plane = Plasticity::create(triangles(), ContinuumModel::PlaneStrain);
  const Names plastic2 = plane.output_components();
  EXPECT_EQ(plastic2.size(), 23u);
  EXPECT_EQ(plastic2[16], "sigma_zz");
  EXPECT_EQ(plastic2[17], "ktan_0_0");
  EXPECT_EQ(Truss::create(bars(1)).primal_vars(), (Names{"u_x"}));
  for (std::uint32_t i : {Dirichlet::kIndex, Mpc::kIndex, Embedded::kIndex, Contact::kIndex})
    EXPECT_EQ(store::read(k[i])->kind().behaviour(), nullptr);
  EXPECT_EQ(store::read(k[Embedded::kIndex])->kind().primal_vars(), (Names{"lambda_u_x", "lambda_u_y"}));
}

TEST(ModelKind, ConstructionRules) {
  EXPECT_EQ(error_text([] { Elasticity::create(tetrahedron(), ContinuumModel::PlaneStrain); }),
            "Elasticity: model PlaneStrain is incompatible with a 3-D space (2-D \u21d2 plane_stress|plane_strain, "
            "3-D \u21d2 solid)");
  EXPECT_EQ(error_text([] { Mazars::create(triangles(), ContinuumModel::Solid); }),
            "Mazars: model Solid is incompatible with a 2-D space (2-D \u21d2 plane_stress|plane_strain, 3-D \u21d2 "
            "solid)");
  EXPECT_EQ(error_text([] { Plasticity::create(bars(1), ContinuumModel::PlaneStress); }),
            "Plasticity: model PlaneStress is incompatible with a 1-D space (2-D \u21d2 plane_stress|plane_strain, "
            "3-D \u21d2 solid)");
  EXPECT_EQ(error_text([] { Timoshenko::create(triangles()); }), "Timoshenko: expected SEG2 elements, got TRI3");
  EXPECT_EQ(error_text([] { Timoshenko::create(bars(2)); }),
            "Timoshenko: pure planar (w, \u03b8) beam requires a 1-D configuration, got 2-D");
  EXPECT_EQ(error_text([] { Frame::create(triangles()); }), "Frame: expected SEG2 elements, got TRI3");
  EXPECT_EQ(error_text([] { Frame::create(bars(3)); }), "Frame: planar frame requires a 2-D configuration, got 3-D");
  EXPECT_EQ(error_text([] { Frame3d::create(bars(2)); }),
            "Frame3d: space frame requires a 3-D configuration, got 2-D");
  EXPECT_EQ(error_text([] { Truss::create(triangles()); }), "Truss: expected SEG2 elements, got TRI3");
  EXPECT_EQ(error_text([] { Truss::create(bars(4)); }),
            "Truss: a bar needs a 1-D, 2-D or 3-D configuration, got 4-D");
  // A Timoshenko refused after its checks leaves no shear subspace behind.
  auto& spaces = store::Store<SubFiniteElementSpace>::instance();
  const SpaceHandle planar = bars(2);
  const std::size_t live = spaces.n_entries() - spaces.n_free();
  EXPECT_NE(error_text([&] { Timoshenko::create(planar); }), "<no error>");
  EXPECT_EQ(spaces.n_entries() - spaces.n_free(), live);
}

// ---------------------------------------------------------------------------
// The container

FiniteElementSpace space_of(std::vector<SpaceHandle> subs) { return FiniteElementSpace(std::move(subs)); }

TEST(Model, AFailedConstructionLeavesNoSubModel) {
  const FiniteElementSpace fes = space_of({bars(2), bars(2), triangles()});
  const std::size_t before = live_sub_models();
  EXPECT_EQ(error_text([&] { Model::frame(fes); }), "Frame: expected SEG2 elements, got TRI3");
  EXPECT_EQ(live_sub_models(), before);
  {
    const Model ok = Model::frame(space_of({bars(2), bars(2)}));
    EXPECT_EQ(ok.size(), 2u);
    EXPECT_EQ(live_sub_models(), before + 2);
  }
  EXPECT_EQ(live_sub_models(), before);
  EXPECT_EQ(Model::heat_conduction(space_of({})).size(), 0u);
}

TEST(Model, QueriesReadEverySubModelInOrder) {
  const SpaceHandle s = triangles();
  Model m = Model::union_(Model::elasticity(space_of({s}), ContinuumModel::PlaneStress),
                          Model::heat_conduction(space_of({s})));
  m.push_sub(store::insert(SubModel::of(Elasticity::create(s, ContinuumModel::PlaneStrain))));
  EXPECT_EQ(m.primal_vars(), (Names{"u_x", "u_y", "T"}));
  EXPECT_EQ(m.dual_vars(), (Names{"f_x", "f_y", "q"}));
  EXPECT_EQ(m.dual_of("T"), std::optional<std::string>("q"));
  EXPECT_EQ(m.dual_of("t"), std::nullopt);
  const FiniteElementSpace f = m.fespace();
  ASSERT_EQ(f.size(), 3u);
  for (const SpaceHandle& h : f.subs()) EXPECT_TRUE(h == s);
  EXPECT_EQ(m.filter(Physics::Thermal).size(), 1u);
  EXPECT_EQ(m.filter(Physics::Other).size(), 0u);
  EXPECT_EQ(m.multiplier_mesh().size(), 0u);
  EXPECT_EQ(quenlith::containers::model::dedup_names({"a", "A", "a", "b", "A"}), (Names{"a", "A", "b"}));

  const std::vector<Handle<SubModel>> k = one_of_each_kind();
  Model constraints;
  constraints.push_sub(k[Dirichlet::kIndex]);
  constraints.push_sub(k[Mpc::kIndex]);
  EXPECT_EQ(error_text([&] { constraints.fespace(); }), "Model::fespace: model has no domain sub-model to integrate on");
  EXPECT_EQ(constraints.multiplier_mesh().size(), 2u);  // the shared submesh listed for each
  EXPECT_EQ(error_text([&] {
              quenlith::containers::model::sub_model_integrate_behavior(*store::read(k[Dirichlet::kIndex]),
                                                                         ZoneHandle(), std::nullopt, std::nullopt, {});
            }),
            "Dirichlet: no behaviour \u2014 integrate_behavior is undefined");
}

// A pattern object: never looked into by the model, so any address stands for one.
Model::Pattern fake_pattern(int& owner) {
  return Model::Pattern(std::make_shared<int>(owner), reinterpret_cast<const quenlith::ops::assemble::ScatterPattern*>(&owner));
}

TEST(Model, PatternCellsFillOnceAndEmptyOnEveryAppend) {
  int token = 0;
  const SpaceHandle s = triangles();
  Model m = Model::heat_conduction(space_of({s}));
  int builds = 0;
  auto build = [&] {
    ++builds;
    return fake_pattern(token);
  };
  const Model::Pattern first = m.scatter_pattern(OperatorKind::Stiffness, build);
  EXPECT_EQ(m.scatter_pattern(OperatorKind::Stiffness, build), first);
  EXPECT_EQ(builds, 1);
  EXPECT_FALSE(m.has_pattern(OperatorKind::Mass));
  EXPECT_TRUE(Model(m).subs().size() == 1 && !Model(m).has_pattern(OperatorKind::Stiffness));
  EXPECT_FALSE(Model::union_(m, m).has_pattern(OperatorKind::Stiffness));
  EXPECT_FALSE(m.slice(std::vector<std::uint64_t>{0}).has_pattern(OperatorKind::Stiffness));

  // A union that appends nothing keeps the cell; one that appends empties it.
  m.extend_unique(Model::heat_conduction(space_of({})).subs());
  EXPECT_TRUE(m.has_pattern(OperatorKind::Stiffness));
  m.push_sub(m.subs()[0]);
  EXPECT_FALSE(m.has_pattern(OperatorKind::Stiffness));
  m.scatter_pattern(OperatorKind::Stiffness, build);
  EXPECT_EQ(builds, 2);
  m.extend_unique(Model::convection(space_of({s})).subs());
  EXPECT_FALSE(m.has_pattern(OperatorKind::Stiffness));

  // A failed build leaves the cell empty; the next call tries again.
  EXPECT_EQ(error_text([&] { m.scatter_pattern(OperatorKind::Tangent, [&]() -> Model::Pattern {
              throw quenlith::Error::message("no pattern");
            }); }),
            "no pattern");
  EXPECT_FALSE(m.has_pattern(OperatorKind::Tangent));
  m.scatter_pattern(OperatorKind::Tangent, build);
  EXPECT_TRUE(m.has_pattern(OperatorKind::Tangent));
  // A pattern handed out outlives the cell it came from.
  EXPECT_TRUE(first != nullptr);
}

TEST(Model, SelectionAndUnionsCompareSlotAndGeneration) {
  const Model a = Model::frame(space_of({bars(2), bars(2), bars(2)}));
  EXPECT_EQ(error_text([&] { a.slice(std::vector<std::uint64_t>{5}); }), "index 5 out of bounds (len=3)");
  const Model twice = a.slice(std::vector<std::uint64_t>{1, 1});
  EXPECT_EQ(twice.size(), 2u);
  EXPECT_EQ(Model::union_(twice, Model()).size(), 1u);
  EXPECT_EQ(Model::union_(a, a).size(), 3u);
  const Model sub_union = a.union_sub(a.subs()[2]);
  EXPECT_EQ(sub_union.size(), 3u);
  EXPECT_EQ(Model::union_(a.subs()[0], a.subs()[0]).size(), 1u);
}

TEST(MpcKind, ConstructionChecksAndTexts) {
  const Handle<Coords> c = line_coords(2, 6);
  const Mesh mult(std::vector<MeshHandle>{submesh(c, ElementType::POI1, {{0}, {1}})});
  const Mesh term_mesh(std::vector<MeshHandle>{submesh(c, ElementType::POI1, {{2}, {3}})});
  std::vector<MpcTerm> terms{MpcTerm::create(term_mesh, "u_x", "f_x", 1.0),
                             MpcTerm::create(term_mesh, "u_y", "f_y", -0.25)};
  const Mpc mpc = Mpc::create(terms, mult, std::nullopt, std::nullopt, Sense::Equal);
  EXPECT_EQ(mpc.primal_vars(), (Names{"lambda_mpc"}));
  EXPECT_EQ(mpc.dual_vars(), (Names{"mpc_rhs"}));
  EXPECT_EQ(mpc.label(), "SubModel<Mpc>: 2 relation(s), 2 term(s) each");
  EXPECT_EQ(mpc.describe({}),
            "SubModel<Mpc>\n  primal var(s): lambda_mpc (multiplier)\n  dual var(s):   mpc_rhs (imposed value / g)\n"
            "  sense: =\n  relations: 2\n  terms:\n    +1 \u00b7 u_x (dual f_x)\n    -0.25 \u00b7 u_y (dual f_y)");

  const Mesh seg(std::vector<MeshHandle>{submesh(c, ElementType::SEG2, {{0, 1}})});
  const Mesh short_term(std::vector<MeshHandle>{submesh(c, ElementType::POI1, {{4}})});
  const Mesh other(std::vector<MeshHandle>{submesh(line_coords(2, 2), ElementType::POI1, {{0}, {1}})});
  Mesh two = mult;
  two.push_sub(mult.subs()[0]);
  auto fails = [&](std::vector<MpcTerm> t, const Mesh& m) {
    return error_text([&] { Mpc::create(std::move(t), m, std::nullopt, std::nullopt, Sense::Equal); });
  };
  EXPECT_EQ(fails({}, mult), "Mpc: at least one term is required");
  EXPECT_EQ(fails(terms, Mesh()), "Mpc: multiplier_mesh must carry at least one node");
  EXPECT_EQ(fails(terms, seg), "Mpc: multiplier_mesh submesh 0 must be POI1, got SEG2");
  EXPECT_EQ(fails({MpcTerm::create(Mesh(), "u", "f", 1.0)}, mult), "coords: mesh has no submeshes");
  EXPECT_EQ(fails({terms[0], MpcTerm::create(other, "u", "f", 1.0)}, mult),
            "Mpc: term 1 mesh and multiplier_mesh must share a Coords");
  EXPECT_EQ(fails(terms, two), "Mpc: multiplier_mesh has 2 submesh(es) but term 0 has 1");
  EXPECT_EQ(fails({MpcTerm::create(seg, "u", "f", 1.0)}, mult), "Mpc: term 0 submesh 0 must be POI1, got SEG2");
  EXPECT_EQ(fails({MpcTerm::create(short_term, "u", "f", 1.0)}, mult),
            "Mpc: term 0 submesh 0 has 1 node(s) but multiplier has 2");
}

}  // namespace
