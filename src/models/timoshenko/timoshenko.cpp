#include "models/timoshenko/timoshenko.hpp"

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

using containers::finite_element_space::Interpolation;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;

Timoshenko Timoshenko::create(SpaceHandle bending) {
  const SpaceFacts facts = beam_space_facts("Timoshenko", bending, 1, "pure planar (w, \u03b8) beam");
  SpaceHandle shear =
      store::insert(SubFiniteElementSpace::create(facts.submesh, Interpolation::LAGRANGE1, QuadratureRule::REDUCED));
  MeshHandle support = node_cloud_of(facts.submesh);  // on failure `shear` goes with this frame
  return Timoshenko(std::move(bending), std::move(shear), std::move(support));
}

std::unique_ptr<ModelKind> Timoshenko::decode(store::RecordReader& r) {
  SpaceHandle bending = r.read_handle<SubFiniteElementSpace>();
  SpaceHandle shear = r.read_handle<SubFiniteElementSpace>();
  MeshHandle support = r.read_handle<containers::mesh::SubMesh>();
  return std::unique_ptr<ModelKind>(new Timoshenko(std::move(bending), std::move(shear), std::move(support)));
}

void Timoshenko::encode(store::RecordWriter& w) const {
  w.write_handle(bending());
  w.write_handle(shear_);
  w.write_handle(support());
}

std::span<const std::string_view> Timoshenko::material_components() const {
  static constexpr std::string_view kNames[] = {"E", "I", "G", "A_s"};
  return kNames;
}

std::span<const std::string_view> Timoshenko::optional_materials() const {
  static constexpr std::string_view kNames[] = {"A", "rho"};
  return kNames;
}

}  // namespace quenlith::models
