#include "models/truss/truss.hpp"

#include "base/error.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

Truss Truss::create(SpaceHandle fespace) {
  const SpaceFacts facts = read_space_facts(fespace);
  QUENLITH_VERIFY(facts.element_type == containers::mesh::ElementType::SEG2, "Truss: expected SEG2 elements, got {}",
                  facts.element_type);
  QUENLITH_VERIFY(facts.space_dim <= 3, "Truss: a bar needs a 1-D, 2-D or 3-D configuration, got {}-D",
                  facts.space_dim);
  MeshHandle support = node_cloud_of(facts.submesh);
  return Truss(std::move(fespace), std::move(support), facts.space_dim);
}

std::unique_ptr<ModelKind> Truss::decode(store::RecordReader& r) {
  SpaceAndSupport h = decode_space_and_support(r);
  const std::uint64_t d = r.read_u64();
  return std::unique_ptr<ModelKind>(new Truss(std::move(h.fespace), std::move(h.support), d));
}

void Truss::encode(store::RecordWriter& w) const {
  encode_space_and_support(w);
  w.write_u64(space_dim_);
}

std::span<const std::string_view> Truss::material_components() const {
  static constexpr std::string_view kNames[] = {"E", "A"};
  return kNames;
}

std::span<const std::string_view> Truss::optional_materials() const {
  static constexpr std::string_view kNames[] = {"rho"};
  return kNames;
}

}  // namespace quenlith::models
