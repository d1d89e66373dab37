#include "models/mod/domain.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

SpaceFacts read_space_facts(const SpaceHandle& fespace) {
  SpaceFacts facts;
  {
    store::ReadGuard<containers::finite_element_space::SubFiniteElementSpace> space = store::read(fespace);
    facts.submesh = space->submesh();
    facts.space_dim = space->space_dim();
  }
  facts.element_type = store::read(facts.submesh)->element_type();
  return facts;
}

MeshHandle node_cloud_of(const MeshHandle& submesh) { return store::read(submesh)->node_cloud(); }

MeshHandle support_of(const SpaceHandle& fespace) { return node_cloud_of(read_space_facts(fespace).submesh); }

SpaceFacts beam_space_facts(std::string_view kind, const SpaceHandle& fespace, std::uint64_t dim,
                            std::string_view what) {
  SpaceFacts facts = read_space_facts(fespace);
  QUENLITH_VERIFY(facts.element_type == containers::mesh::ElementType::SEG2, "{}: expected SEG2 elements, got {}",
                  kind, facts.element_type);
  QUENLITH_VERIFY(facts.space_dim == dim, "{}: {} requires a {}-D configuration, got {}-D", kind, what, dim,
                  facts.space_dim);
  return facts;
}

std::vector<std::string> axis_names(std::string_view prefix, std::uint64_t n) {
  static constexpr std::string_view kAxes[] = {"x", "y", "z"};
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < n && i < 3; ++i) out.push_back(fmt::format("{}{}", prefix, kAxes[i]));
  return out;
}

std::vector<std::string> to_string_vec(std::span<const std::string_view> names) {
  return {names.begin(), names.end()};
}

std::span<const Physics> physics_list(Physics p) noexcept {
  static constexpr Physics kLists[] = {Physics::Mechanical, Physics::Thermal, Physics::Constraint, Physics::Other};
  return {&kLists[static_cast<std::size_t>(p)], 1};
}

BlockLayout DomainKind::layout_on(std::vector<SpaceHandle> fespaces) const {
  BlockLayout l;
  l.fespaces = std::move(fespaces);
  l.dual_vars = dual_vars();
  l.primal_vars = primal_vars();
  l.support = support_;
  return l;
}

std::string DomainKind::describe(const dump::DumpOptions&) const {
  return fmt::format("SubModel<{}>\n  primal var(s): {}\n  dual var(s):   {}\n  support: {} node(s){}",
                     describe_title(), fmt::join(primal_vars(), ", "), fmt::join(dual_vars(), ", "),
                     cell_count_or_zero(support_), describe_tail());
}

void DomainKind::encode_space_and_support(store::RecordWriter& w) const {
  w.write_handle(fespace_);
  w.write_handle(support_);
}

SpaceAndSupport decode_space_and_support(store::RecordReader& r) {
  SpaceAndSupport out;
  out.fespace = r.read_handle<containers::finite_element_space::SubFiniteElementSpace>();
  out.support = r.read_handle<containers::mesh::SubMesh>();
  return out;
}

}  // namespace quenlith::models
