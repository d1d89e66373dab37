#include "models/embedded/embedded.hpp"

#include <fmt/format.h>

#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

std::unique_ptr<ModelKind> Embedded::decode(store::RecordReader& r) {
  Fields f;
  f.immersed_mesh = read_mesh_list(r);
  f.multiplier_mesh = read_mesh_list(r);
  f.constrained_mesh = read_mesh_list(r);
  f.hosts = r.read_list([](store::RecordReader& in) {
    HostBinding h;
    h.nodes = in.read_u32_list();
    h.weights = in.read_f64_list();
    return h;
  });
  f.components = r.read_list([](store::RecordReader& in) {
    Component c;
    c.variable = in.read_string();
    c.target_dual = in.read_string();
    c.multiplier = in.read_string();
    c.imposed_value = in.read_string();
    return c;
  });
  return std::make_unique<Embedded>(std::move(f));
}

void Embedded::encode(store::RecordWriter& w) const {
  write_mesh_list(w, f_.immersed_mesh);
  write_mesh_list(w, f_.multiplier_mesh);
  write_mesh_list(w, f_.constrained_mesh);
  w.write_list(f_.hosts, [](store::RecordWriter& out, const HostBinding& h) {
    out.write_u32_list(h.nodes);
    out.write_f64_list(h.weights);
  });
  w.write_list(f_.components, [](store::RecordWriter& out, const Component& c) {
    out.write_string(c.variable);
    out.write_string(c.target_dual);
    out.write_string(c.multiplier);
    out.write_string(c.imposed_value);
  });
}

std::vector<std::string> Embedded::primal_vars() const {
  std::vector<std::string> out;
  for (const Component& c : f_.components) out.push_back(c.multiplier);
  return out;
}

std::vector<std::string> Embedded::dual_vars() const {
  std::vector<std::string> out;
  for (const Component& c : f_.components) out.push_back(c.imposed_value);
  return out;
}

std::string Embedded::label() const {
  return fmt::format("SubModel<Embedded>: {} immersed node(s), {} component(s)", f_.hosts.size(),
                     f_.components.size());
}

std::string Embedded::describe(const dump::DumpOptions&) const {
  std::string out = fmt::format("SubModel<Embedded>\n  immersed nodes: {}\n  components:", f_.hosts.size());
  for (const Component& c : f_.components)
    out += fmt::format("\n    {} (dual {}, multiplier {}, imposed {})", c.variable, c.target_dual, c.multiplier,
                       c.imposed_value);
  return out;
}

}  // namespace quenlith::models
