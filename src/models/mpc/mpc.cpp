#include "models/mpc/mpc.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "dump/number_format.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

using containers::mesh::ElementType;
using containers::mesh::Mesh;

MpcTerm MpcTerm::create(const Mesh& mesh, std::string variable, std::string target_dual, double coefficient) {
  const auto subs = mesh.subs();
  return MpcTerm{MeshList(subs.begin(), subs.end()), std::move(variable), std::move(target_dual), coefficient};
}

Mpc Mpc::create(std::vector<MpcTerm> terms, const Mesh& multiplier_mesh, std::optional<std::string> multiplier,
                std::optional<std::string> imposed_value, Sense sense) {
  QUENLITH_VERIFY(!terms.empty(), "Mpc: at least one term is required");
  QUENLITH_VERIFY(multiplier_mesh.cell_count() != 0, "Mpc: multiplier_mesh must carry at least one node");
  const store::Handle<containers::mesh::Coords> coords = multiplier_mesh.coords();
  const auto msubs = multiplier_mesh.subs();
  std::vector<std::uint64_t> counts;
  for (std::size_t s = 0; s < msubs.size(); ++s) {
    store::ReadGuard<containers::mesh::SubMesh> sub = store::read(msubs[s]);
    QUENLITH_VERIFY(sub->element_type() == ElementType::POI1, "Mpc: multiplier_mesh submesh {} must be POI1, got {}",
                    s, sub->element_type());
    counts.push_back(sub->cell_count());
  }
  for (std::size_t k = 0; k < terms.size(); ++k) {
    const MeshList& tsubs = terms[k].mesh;
    QUENLITH_VERIFY(!tsubs.empty(), "coords: mesh has no submeshes");
    QUENLITH_VERIFY(store::read(tsubs.front())->coords() == coords,
                    "Mpc: term {} mesh and multiplier_mesh must share a Coords", k);
    QUENLITH_VERIFY(tsubs.size() == msubs.size(), "Mpc: multiplier_mesh has {} submesh(es) but term {} has {}",
                    msubs.size(), k, tsubs.size());
    for (std::size_t s = 0; s < tsubs.size(); ++s) {
      store::ReadGuard<containers::mesh::SubMesh> sub = store::read(tsubs[s]);
      QUENLITH_VERIFY(sub->element_type() == ElementType::POI1, "Mpc: term {} submesh {} must be POI1, got {}", k, s,
                      sub->element_type());
      QUENLITH_VERIFY(sub->cell_count() == counts[s], "Mpc: term {} submesh {} has {} node(s) but multiplier has {}",
                      k, s, sub->cell_count(), counts[s]);
    }
  }
  Fields f;
  f.terms = std::move(terms);
  f.multiplier_mesh.assign(msubs.begin(), msubs.end());
  f.multiplier = multiplier.value_or("lambda_mpc");
  f.imposed_value = imposed_value.value_or("mpc_rhs");
  f.sense = sense;
  return Mpc(std::move(f));
}

std::unique_ptr<ModelKind> Mpc::decode(store::RecordReader& r) {
  Fields f;
  f.terms = r.read_list([](store::RecordReader& in) {
    MpcTerm t;
    t.mesh = read_mesh_list(in);
    t.variable = in.read_string();
    t.target_dual = in.read_string();
    t.coefficient = in.read_f64();
    return t;
  });
  f.multiplier_mesh = read_mesh_list(r);
  f.multiplier = r.read_string();
  f.imposed_value = r.read_string();
  f.sense = static_cast<Sense>(r.read_variant(kSenseCount));
  return std::make_unique<Mpc>(std::move(f));
}

void Mpc::encode(store::RecordWriter& w) const {
  w.write_list(f_.terms, [](store::RecordWriter& out, const MpcTerm& t) {
    write_mesh_list(out, t.mesh);
    out.write_string(t.variable);
    out.write_string(t.target_dual);
    out.write_f64(t.coefficient);
  });
  write_mesh_list(w, f_.multiplier_mesh);
  w.write_string(f_.multiplier);
  w.write_string(f_.imposed_value);
  w.write_variant(static_cast<std::uint32_t>(f_.sense));
}

std::string Mpc::label() const {
  return fmt::format("SubModel<Mpc>: {} relation(s), {} term(s) each", cell_count_or_zero(f_.multiplier_mesh),
                     f_.terms.size());
}

std::string Mpc::describe(const dump::DumpOptions&) const {
  std::string out = fmt::format(
      "SubModel<Mpc>\n  primal var(s): {} (multiplier)\n  dual var(s):   {} (imposed value / g)\n  sense: {}\n  "
      "relations: {}\n  terms:",
      f_.multiplier, f_.imposed_value, sense_text(f_.sense), cell_count_or_zero(f_.multiplier_mesh));
  for (const MpcTerm& t : f_.terms) {
    // Every coefficient carries its sign, zero a plus.
    const std::string c = t.coefficient == 0.0 ? "0" : dump::plain_number(t.coefficient);
    out += fmt::format("\n    {}{} \u00b7 {} (dual {})", c.starts_with('-') ? "" : "+", c, t.variable,
                       t.target_dual);
  }
  return out;
}

}  // namespace quenlith::models
