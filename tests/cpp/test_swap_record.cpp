// Swap files: the CRC-32C checksum and the header that guards every record before a
// field of it is decoded. A record damaged on disk is refused without touching what
// it names: a flipped bit in its Coords handle would otherwise release a Coords the
// record never held, and a lowered node count would let gc() collect a node in use.
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/evolution/sub_evolution.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/sub_model.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "models/dirichlet/dirichlet.hpp"
#include "models/elasticity/elasticity.hpp"
#include "models/mazars/mazars.hpp"
#include "store/crc32c.hpp"
#include "store/guard.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"
#include "store/swap_file.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith;
using containers::element_field::SubElementField;
using containers::evolution::OutOfRange;
using containers::evolution::Sample;
using containers::evolution::SubEvolution;
using containers::finite_element_space::CellGeometry;
using containers::finite_element_space::Interpolation;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using containers::matrix::ComputedRecipe;
using containers::matrix::ErasedHandle;
using containers::matrix::SubMatrix;
using containers::model::SubModel;
using containers::node_field::SubNodeField;
using store::Handle;
using store::ResidencyKind;
using store::Store;
using quenlith::testing::error_text;
using quenlith::testing::slurp;
using quenlith::testing::spit;
namespace fs = std::filesystem;

TEST(Crc32c, KnownValues) {
  std::vector<std::uint8_t> ascending(32);
  for (std::size_t i = 0; i < 32; ++i) ascending[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::uint8_t> descending(ascending.rbegin(), ascending.rend());
  const std::string digits = "123456789";
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint32_t crc;
  } cases[] = {
      {"empty", {}, 0},
      {"digits", {digits.begin(), digits.end()}, 0xE3069283u},
      {"zeros", std::vector<std::uint8_t>(32, 0x00), 0x8A9136AAu},
      {"ones", std::vector<std::uint8_t>(32, 0xFF), 0x62A8AB43u},
      {"ascending", ascending, 0x46DD794Eu},
      {"descending", descending, 0x113FDB5Cu},
  };
  for (const auto& c : cases) EXPECT_EQ(store::crc32c(c.bytes), c.crc) << c.name;
}

TEST(Crc32c, ContinuesAcrossAnySplit) {
  std::vector<std::uint8_t> bytes(37);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 89 + 7);
  const std::uint32_t whole = store::crc32c(bytes);
  const std::span<const std::uint8_t> all(bytes);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut)
    EXPECT_EQ(store::crc32c(all.subspan(cut), store::crc32c(all.first(cut))), whole) << cut;
}

// The record as the type's encoder writes it.
template <class T>
std::vector<std::uint8_t> encoded(const Handle<T>& h) {
  store::RecordWriter w;
  store::StoredTypeTraits<T>::encode(*store::read(h), w);
  return w.take();
}

// Everything a record may name about a Coords: its units and its whole state.
std::string coords_state(const Handle<Coords>& h) {
  return fmt::format("{} unit(s), record {}", Store<Coords>::instance().use_count(h), fmt::join(encoded(h), " "));
}

Handle<Coords> make_coords(std::uint8_t dim, const std::vector<std::vector<double>>& points) {
  Handle<Coords> h = store::insert(Coords(dim));
  store::WriteGuard<Coords> w = store::write(h);
  for (const auto& p : points) w->decref(w->add_node(p));  // only cells hold the nodes
  return h;
}

Handle<SubMesh> make_sub(const Handle<Coords>& coords, ElementType t, const std::vector<NodeId>& cell) {
  SubMesh sub(t, coords);
  sub.add_cell(cell);
  return store::insert(std::move(sub));
}

class DamagedSwapFile : public ::testing::Test {
 protected:
  void SetUp() override { store::set_swap_dir(dir_.path()); }

  // Flips each bit of the swap file at `path` in turn, then cuts the file at every
  // length: every `read()` is refused as a serialization error and leaves `named()`
  // as it was. The file is put back afterwards.
  static void expect_every_damage_refused(const std::string& path, const std::function<void()>& read,
                                          const std::function<std::string()>& named) {
    const std::vector<char> good = slurp(path);
    ASSERT_GT(good.size(), 16u);
    const std::string before = named();
    auto refused = [&](const std::string& damage) {
      const std::string text = error_text(read);
      ASSERT_EQ(text.rfind("serialization error: ", 0), 0u) << damage << ": " << text;
      ASSERT_EQ(named(), before) << damage;
      ASSERT_TRUE(fs::exists(path)) << damage << ": the file must stay";
    };
    for (std::size_t i = 0; i < good.size(); ++i)
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<char> bad = good;
        bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
        spit(path, bad, bad.size());
        refused(fmt::format("flip bit {} of byte {}", bit, i));
        if (::testing::Test::HasFatalFailure()) return;
      }
    for (std::size_t n = 0; n < good.size(); ++n) {
      spit(path, good, n);
      refused(fmt::format("cut at {}", n));
      if (::testing::Test::HasFatalFailure()) return;
    }
    spit(path, good, good.size());
  }

  quenlith::testing::TempDir dir_{"swap-record-test"};
};

TEST_F(DamagedSwapFile, CoordsRecordIsRefusedAndKept) {
  Handle<Coords> h = make_coords(2, {{0, 1}, {2.5, -1}, {4, 4}});
  {
    store::WriteGuard<Coords> w = store::write(h);
    w->incref(1);
    w->add_config("moved");
    w->set_permutation({2, 0, 1});
  }
  const std::vector<std::uint8_t> before = encoded(h);
  auto& coords = Store<Coords>::instance();
  coords.swap_out(h);
  const std::string path = coords.swap_path(h).value();
  expect_every_damage_refused(
      path, [&] { (void)store::read(h); },
      [&] { return fmt::format("{} {}", coords.use_count(h), coords.swap_path(h).value_or("resident")); });
  EXPECT_EQ(encoded(h), before);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(DamagedSwapFile, SubMeshRecordTouchesNoCoords) {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 0}, {1, 1}, {0, 1}});
  Handle<Coords> other = make_coords(2, {{5, 5}, {6, 5}, {6, 6}, {5, 6}});
  Handle<SubMesh> other_sub = make_sub(other, ElementType::QUA4, {0, 1, 2, 3});
  Handle<SubMesh> sub = make_sub(coords, ElementType::QUA4, {0, 1, 2, 3});
  auto& submeshes = Store<SubMesh>::instance();
  submeshes.swap_out(sub);
  const std::string path = submeshes.swap_path(sub).value();
  auto named = [&] { return coords_state(coords) + " / " + coords_state(other); };
  expect_every_damage_refused(path, [&] { (void)store::read(sub); }, named);
  const std::string before = named();

  // The Coords handle rewritten to name the other live Coords (header, then the
  // element type's 4 bytes, then idx and gen), as a damaged block could: the last
  // release must give back nothing to either.
  std::vector<char> bad = slurp(path);
  const std::uint32_t id[] = {other.idx(), other.gen()};
  std::memcpy(bad.data() + 16 + 4, id, sizeof id);
  spit(path, bad, bad.size());
  sub = {};
  EXPECT_EQ(named(), before);
  EXPECT_TRUE(fs::exists(path));  // kept with the units it names
  EXPECT_EQ(store::read(other)->refcount(0), 1u);
  EXPECT_EQ(store::write(other)->gc(), 0u);
}

TEST_F(DamagedSwapFile, SubspaceRecordTouchesNoSubMesh) {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 0}, {0, 1}});
  Handle<SubFiniteElementSpace> h = store::insert(SubFiniteElementSpace::create(
      make_sub(coords, ElementType::TRI3, {0, 1, 2}), Interpolation::LAGRANGE1, QuadratureRule::GAUSS));
  const Handle<SubMesh> sub = store::read(h)->submesh();
  const std::vector<std::uint8_t> before = encoded(h);
  auto& spaces = Store<SubFiniteElementSpace>::instance();
  spaces.swap_out(h);
  expect_every_damage_refused(
      spaces.swap_path(h).value(), [&] { (void)store::read(h); },
      [&] {
        return fmt::format("{} submesh unit(s), sealed {}, {}", Store<SubMesh>::instance().use_count(sub),
                           store::read(sub)->is_sealed(), coords_state(coords));
      });
  EXPECT_EQ(encoded(h), before);
}

// A record with a valid checksum is still checked field by field before a field
// sizes anything: the space dimension sizes every geometric buffer.
TEST_F(DamagedSwapFile, SubspaceSpaceDimIsCheckedBeforeItSizesAnything) {
  Handle<Coords> coords = make_coords(2, {{0, 0}, {1, 0}, {0, 1}});
  Handle<SubFiniteElementSpace> h = store::insert(SubFiniteElementSpace::create(
      make_sub(coords, ElementType::TRI3, {0, 1, 2}), Interpolation::LAGRANGE1, QuadratureRule::GAUSS));
  auto& spaces = Store<SubFiniteElementSpace>::instance();
  std::vector<std::uint8_t> record = encoded(h);
  // With space_dim at bytes 16..24 of the record (after the handle and two variants).
  auto swap_out_with_space_dim = [&](std::uint64_t space_dim) {
    std::memcpy(record.data() + 16, &space_dim, 8);
    spaces.swap_out(h);
    const std::string crafted = store::write_new_swap_file(dir_.path(), "crafted", record);
    fs::rename(crafted, spaces.swap_path(h).value());
  };
  for (const std::uint64_t space_dim : {std::uint64_t{0}, std::uint64_t{256}, std::uint64_t{1} << 40,
                                        std::numeric_limits<std::uint64_t>::max()}) {
    swap_out_with_space_dim(space_dim);
    EXPECT_EQ(error_text([&] { (void)store::read(h); }),
              fmt::format("serialization error: SubFiniteElementSpace: space dim {} is not a Coords dimension (1 "
                          "to 255)",
                          space_dim));
    fs::remove(spaces.swap_path(h).value());
  }
  // A dimension a Coords could have, but not this one's: refused where it meets it.
  swap_out_with_space_dim(255);
  store::ReadGuard<SubFiniteElementSpace> space = store::read(h);
  const std::string mismatch = "SubFiniteElementSpace: space dim 255 ≠ Coords dim 2";
  EXPECT_EQ(error_text([&] { (void)space->jacobian(0, 0); }), mismatch);
  EXPECT_EQ(error_text([&] { CellGeometry geometry(*space); }), mismatch);
}

// The remaining stored types go through the same checks: every flipped bit and every
// cut of the file is refused, the objects the record names keep their units, and the
// record reads back unchanged once the file is whole again.
class DamagedRecordOfEachType : public DamagedSwapFile {
 protected:
  template <class T>
  void expect_refused_then_read_back(const Handle<T>& h, const std::function<std::string()>& named) {
    const std::vector<std::uint8_t> before = encoded(h);
    auto& objects = Store<T>::instance();
    objects.swap_out(h);
    const std::string path = objects.swap_path(h).value();
    expect_every_damage_refused(
        path, [&] { (void)store::read(h); },
        [&] { return fmt::format("{} / {}", objects.swap_path(h).value_or("resident"), named()); });
    EXPECT_EQ(encoded(h), before);
    EXPECT_FALSE(fs::exists(path));
  }

  template <class T>
  static std::string units(const Handle<T>& h) {
    return fmt::format("{}", Store<T>::instance().use_count(h));
  }

  Handle<SubFiniteElementSpace> triangle_space() {
    return store::insert(SubFiniteElementSpace::create(make_sub(coords_, ElementType::TRI3, {0, 1, 2}),
                                                       Interpolation::LAGRANGE1, QuadratureRule::GAUSS));
  }

  Handle<Coords> coords_ = make_coords(2, {{0, 0}, {1, 0}, {0, 1}});
  Handle<SubMesh> points_ = make_sub(coords_, ElementType::POI1, {1});
};

TEST_F(DamagedRecordOfEachType, NodeZone) {
  const Handle<SubNodeField> h = store::insert(SubNodeField::create(points_, {"T", "q"}, {2.5, -1}));
  expect_refused_then_read_back(h, [&] { return units(points_) + " " + coords_state(coords_); });
}

TEST_F(DamagedRecordOfEachType, ElementZone) {
  const Handle<SubFiniteElementSpace> space = triangle_space();
  SubElementField zone = SubElementField::create(space, {"E", "nu"});
  zone.set(0, 0, 0, 210e9);
  const Handle<SubElementField> h = store::insert(std::move(zone));
  expect_refused_then_read_back(h, [&] { return units(space) + " " + coords_state(coords_); });
}

TEST_F(DamagedRecordOfEachType, EvolutionOfNodeZones) {
  std::vector<Sample> samples;
  samples.push_back({0.0, SubNodeField::create(points_, {"T"}, {1.0})});
  samples.push_back({2.0, SubNodeField::create(points_, {"T"}, {3.0})});
  SubEvolution curve = SubEvolution::create(std::move(samples), OutOfRange::Clamp);
  curve.set_abscissa_type(std::string("time"));
  const Handle<SubEvolution> h = store::insert(std::move(curve));
  expect_refused_then_read_back(h, [&] { return units(points_) + " " + coords_state(coords_); });
}

TEST_F(DamagedRecordOfEachType, ComputedBlock) {
  const Handle<SubFiniteElementSpace> space = triangle_space();
  const Handle<SubModel> sub =
      store::insert(SubModel::of(models::Elasticity::create(space, models::ContinuumModel::PlaneStress)));
  const Handle<SubElementField> material = store::insert(SubElementField::create(space, {"E", "nu"}));
  const auto layout = store::read(sub)->kind().stiffness_layout();
  ASSERT_TRUE(layout);
  ComputedRecipe recipe{ErasedHandle(sub), layout->fespaces, ErasedHandle(material), models::OperatorKind::Stiffness,
                        std::nullopt};
  const Handle<SubMatrix> h = store::insert(SubMatrix::computed(layout->support, layout->support, layout->dual_vars,
                                                                layout->primal_vars, layout->ordering, true,
                                                                std::move(recipe)));
  expect_refused_then_read_back(h, [&] {
    return fmt::format("{} {} {} {} {}", units(sub), units(material), units(space), units(layout->support),
                       coords_state(coords_));
  });
}

TEST_F(DamagedRecordOfEachType, LiteralBlock) {
  SubMatrix block = SubMatrix::new_(points_, points_, {"a"}, {"b", "c"}, containers::matrix::Ordering::VarsThenNodes,
                                    false);
  block.add_entry(1, "a", 1, "c", 1.5);
  const Handle<SubMatrix> h = store::insert(std::move(block));
  expect_refused_then_read_back(h, [&] { return units(points_) + " " + coords_state(coords_); });
}

TEST_F(DamagedRecordOfEachType, ConstraintSubModel) {
  const Handle<SubMesh> multipliers = make_sub(coords_, ElementType::POI1, {2});
  const Handle<SubModel> h = store::insert(SubModel(std::make_unique<models::Dirichlet>(models::Dirichlet::Fields{
      "T", "q", "lambda_T", "imposed_T", {points_}, {multipliers, points_}, models::Sense::LessEqual})));
  expect_refused_then_read_back(
      h, [&] { return units(points_) + " " + units(multipliers) + " " + coords_state(coords_); });
}

TEST_F(DamagedRecordOfEachType, ContinuumSubModel) {
  const Handle<SubFiniteElementSpace> space = triangle_space();
  const Handle<SubModel> h =
      store::insert(SubModel::of(models::Mazars::create(space, models::ContinuumModel::PlaneStrain)));
  expect_refused_then_read_back(h, [&] { return units(space) + " " + coords_state(coords_); });
}

// Past the checksum, a decoder meets only records its own encoder wrote; still, every
// field is checked before it sizes or indexes anything. Each byte of a valid record
// is overwritten with values that stretch counts, indices and variants, and each
// decoding either gives an object or a serialization error: never another
// exception (an allocation sized from a count) or a crash.
template <class T>
void expect_every_overwrite_decodes_or_is_refused(const Handle<T>& h) {
  const std::vector<std::uint8_t> good = encoded(h);
  ASSERT_GT(good.size(), 8u);
  store::detail::OwnershipNeutralScope neutral;  // the handles belong to the record
  for (std::size_t i = 0; i < good.size(); ++i)
    for (const int value : {0x00, 0xFF, 0x7F, 0x80, good[i] ^ 0x01, (good[i] + 1) & 0xFF}) {
      std::vector<std::uint8_t> bad = good;
      bad[i] = static_cast<std::uint8_t>(value);
      try {
        store::RecordReader r(bad);
        (void)store::StoredTypeTraits<T>::decode(r);
      } catch (const Error& e) {
        ASSERT_EQ(e.kind(), Error::Kind::Serialization) << "byte " << i << " = " << value << ": " << e.text();
      } catch (const std::exception& e) {
        FAIL() << "byte " << i << " = " << value << ": " << e.what();
      }
    }
}

TEST_F(DamagedRecordOfEachType, OverwrittenBytesNeverSizeAnything) {
  const Handle<SubFiniteElementSpace> space = triangle_space();
  {
    store::WriteGuard<Coords> w = store::write(coords_);
    w->add_config("moved");
    w->set_permutation({2, 0, 1});
  }
  expect_every_overwrite_decodes_or_is_refused(coords_);
  expect_every_overwrite_decodes_or_is_refused(points_);
  expect_every_overwrite_decodes_or_is_refused(space);
  expect_every_overwrite_decodes_or_is_refused(store::insert(SubNodeField::create(points_, {"T", "q"}, {2.5, -1})));
  expect_every_overwrite_decodes_or_is_refused(store::insert(SubElementField::create(space, {"E", "nu"})));
  std::vector<Sample> samples;
  samples.push_back({0.0, SubNodeField::create(points_, {"T"}, {1.0})});
  samples.push_back({2.0, SubNodeField::create(points_, {"T"}, {3.0})});
  expect_every_overwrite_decodes_or_is_refused(
      store::insert(SubEvolution::create(std::move(samples), OutOfRange::Clamp)));
  const Handle<SubModel> continuum =
      store::insert(SubModel::of(models::Mazars::create(space, models::ContinuumModel::PlaneStrain)));
  expect_every_overwrite_decodes_or_is_refused(continuum);
  expect_every_overwrite_decodes_or_is_refused(
      store::insert(SubModel(std::make_unique<models::Dirichlet>(models::Dirichlet::Fields{
          "T", "q", "lambda_T", "imposed_T", {points_}, {points_}, models::Sense::Equal}))));
  const Handle<SubElementField> material = store::insert(SubElementField::create(space, {"E", "nu"}));
  const auto layout = store::read(continuum)->kind().stiffness_layout();
  ASSERT_TRUE(layout);
  ComputedRecipe recipe{ErasedHandle(continuum), layout->fespaces, ErasedHandle(material),
                        models::OperatorKind::Stiffness, std::nullopt};
  expect_every_overwrite_decodes_or_is_refused(store::insert(SubMatrix::computed(
      layout->support, layout->support, layout->dual_vars, layout->primal_vars, layout->ordering, true,
      std::move(recipe))));
  SubMatrix block =
      SubMatrix::new_(points_, points_, {"a"}, {"b", "c"}, containers::matrix::Ordering::VarsThenNodes, false);
  block.add_entry(1, "a", 1, "c", 1.5);
  expect_every_overwrite_decodes_or_is_refused(store::insert(std::move(block)));
}

}  // namespace
