#include "models/dirichlet/dirichlet.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/store.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::SubMesh;

namespace {

// "Dirichlet: submesh {} has {} constrained node(s) but {} multiplier(s)" unless equal.
void check_pairing(std::size_t i, std::uint64_t constrained, std::uint64_t multipliers) {
  QUENLITH_VERIFY(constrained == multipliers, "Dirichlet: submesh {} has {} constrained node(s) but {} multiplier(s)",
                  i, constrained, multipliers);
}

}  // namespace

Dirichlet Dirichlet::create(std::string imposed_variable, std::string target_dual, const Mesh& imposed_mesh,
                            const Mesh& multiplier_mesh, std::optional<std::string> multiplier,
                            std::optional<std::string> imposed_value, Sense sense) {
  QUENLITH_VERIFY(imposed_mesh.cell_count() != 0, "Dirichlet: imposed_mesh must constrain at least one node");
  const auto isubs = imposed_mesh.subs();
  const auto msubs = multiplier_mesh.subs();
  QUENLITH_VERIFY(isubs.size() == msubs.size(), "Dirichlet: imposed_mesh has {} submesh(es) but multiplier_mesh has {}",
                  isubs.size(), msubs.size());
  const store::Handle<containers::mesh::Coords> coords = imposed_mesh.coords();
  QUENLITH_VERIFY(multiplier_mesh.coords() == coords,
                  "Dirichlet: imposed_mesh and multiplier_mesh must share a Coords");
  for (std::size_t i = 0; i < isubs.size(); ++i) {
    std::uint64_t constrained = 0;
    {
      store::ReadGuard<SubMesh> sub = store::read(isubs[i]);
      QUENLITH_VERIFY(sub->element_type() == ElementType::POI1, "Dirichlet: imposed_mesh submesh {} must be POI1, got {}",
                      i, sub->element_type());
      constrained = sub->cell_count();
    }
    store::ReadGuard<SubMesh> sub = store::read(msubs[i]);
    QUENLITH_VERIFY(sub->element_type() == ElementType::POI1,
                    "Dirichlet: multiplier_mesh submesh {} must be POI1, got {}", i, sub->element_type());
    check_pairing(i, constrained, sub->cell_count());
  }
  Fields f;
  f.multiplier = multiplier ? std::move(*multiplier) : fmt::format("lambda_{}", imposed_variable);
  f.imposed_value = imposed_value ? std::move(*imposed_value) : fmt::format("imposed_{}", imposed_variable);
  f.imposed_variable = std::move(imposed_variable);
  f.target_dual = std::move(target_dual);
  f.imposed_mesh.assign(isubs.begin(), isubs.end());
  f.multiplier_mesh.assign(msubs.begin(), msubs.end());
  f.sense = sense;
  return Dirichlet(std::move(f));
}

std::vector<Relation> Dirichlet::relations() const {
  std::vector<Relation> out;
  out.reserve(total_cell_count(f_.imposed_mesh));
  for (std::size_t i = 0; i < f_.imposed_mesh.size(); ++i) {
    const std::vector<NodeId> constrained = submesh_node_ids(f_.imposed_mesh[i]);
    const std::vector<NodeId> multipliers = submesh_node_ids(mesh_at(f_.multiplier_mesh, i));
    check_pairing(i, constrained.size(), multipliers.size());
    for (std::size_t j = 0; j < constrained.size(); ++j)
      out.push_back(Relation{f_.imposed_value, {RelationTerm{f_.imposed_variable, f_.target_dual, 1.0, constrained[j]}},
                             multipliers[j], f_.sense});
  }
  return out;
}

std::vector<BlockRecipe> Dirichlet::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>&) const {
  std::vector<BlockRecipe> out;
  if (kind != OperatorKind::Stiffness) return out;
  LiteralBlocks blocks;
  for (std::size_t i = 0; i < f_.imposed_mesh.size(); ++i) {
    const auto [multipliers, constrained] =
        constraint_block_pair(mesh_at(f_.multiplier_mesh, i), f_.imposed_mesh[i], f_.imposed_variable,
                              f_.target_dual, 1.0, f_.multiplier, f_.imposed_value, blocks);
    check_pairing(i, constrained, multipliers);
  }
  out.emplace_back(std::move(blocks));
  return out;
}

std::unique_ptr<ModelKind> Dirichlet::decode(store::RecordReader& r) {
  Fields f;
  f.imposed_variable = r.read_string();
  f.target_dual = r.read_string();
  f.multiplier = r.read_string();
  f.imposed_value = r.read_string();
  f.imposed_mesh = read_mesh_list(r);
  f.multiplier_mesh = read_mesh_list(r);
  f.sense = static_cast<Sense>(r.read_variant(kSenseCount));
  return std::make_unique<Dirichlet>(std::move(f));
}

void Dirichlet::encode(store::RecordWriter& w) const {
  w.write_string(f_.imposed_variable);
  w.write_string(f_.target_dual);
  w.write_string(f_.multiplier);
  w.write_string(f_.imposed_value);
  write_mesh_list(w, f_.imposed_mesh);
  write_mesh_list(w, f_.multiplier_mesh);
  w.write_variant(static_cast<std::uint32_t>(f_.sense));
}

std::string Dirichlet::label() const {
  return fmt::format("SubModel<Dirichlet({})>: {} constrained node(s)", f_.imposed_variable,
                     cell_count_or_zero(f_.imposed_mesh));
}

std::string Dirichlet::describe(const dump::DumpOptions&) const {
  return fmt::format(
      "SubModel<Dirichlet({})>\n  primal var(s): {} (multiplier)\n  dual var(s):   {} (imposed value)\n  targets "
      "primary dual: {}\n  sense: {}\n  constrained: {} node(s)\n  multipliers: {} node(s)",
      f_.imposed_variable, f_.multiplier, f_.imposed_value, f_.target_dual, sense_text(f_.sense),
      cell_count_or_zero(f_.imposed_mesh), cell_count_or_zero(f_.multiplier_mesh));
}

}  // namespace quenlith::models
