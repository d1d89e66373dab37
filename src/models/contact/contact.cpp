#include "models/contact/contact.hpp"

#include <fmt/format.h>

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

std::unique_ptr<ModelKind> Contact::decode(store::RecordReader& r) {
  Fields f;
  f.slave_mesh = read_mesh_list(r);
  f.multiplier_mesh = read_mesh_list(r);
  f.support_mesh = read_mesh_list(r);
  f.pairings = r.read_list([](store::RecordReader& in) {
    Pairing p;
    p.nodes = in.read_u32_list();
    p.weights = in.read_f64_list();
    p.normal = in.read_f64_list();
    p.gap = in.read_f64();
    return p;
  });
  f.components = r.read_list([](store::RecordReader& in) {
    Component c;
    c.variable = in.read_string();
    c.target_dual = in.read_string();
    return c;
  });
  f.multiplier = r.read_string();
  f.imposed_value = r.read_string();
  return std::make_unique<Contact>(std::move(f));
}

void Contact::encode(store::RecordWriter& w) const {
  write_mesh_list(w, f_.slave_mesh);
  write_mesh_list(w, f_.multiplier_mesh);
  write_mesh_list(w, f_.support_mesh);
  w.write_list(f_.pairings, [](store::RecordWriter& out, const Pairing& p) {
    out.write_u32_list(p.nodes);
    out.write_f64_list(p.weights);
    out.write_f64_list(p.normal);
    out.write_f64(p.gap);
  });
  w.write_list(f_.components, [](store::RecordWriter& out, const Component& c) {
    out.write_string(c.variable);
    out.write_string(c.target_dual);
  });
  w.write_string(f_.multiplier);
  w.write_string(f_.imposed_value);
}

std::string Contact::label() const {
  return fmt::format("SubModel<Contact>: {} slave node(s), {} component(s)", f_.pairings.size(),
                     f_.components.size());
}

std::string Contact::describe(const dump::DumpOptions&) const {
  std::string out = fmt::format(
      "SubModel<Contact>\n  primal var(s): {} (multiplier)\n  dual var(s):   {} (imposed value / \u2212g\u2080)\n  "
      "slave nodes: {}\n  components:",
      f_.multiplier, f_.imposed_value, f_.pairings.size());
  for (const Component& c : f_.components) out += fmt::format("\n    {} (dual {})", c.variable, c.target_dual);
  return out;
}

}  // namespace quenlith::models
