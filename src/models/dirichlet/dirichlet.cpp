#include "models/dirichlet/dirichlet.hpp"

#include <fmt/format.h>

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

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
