#include "models/contact/contact.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/error.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/geom/project.hpp"
#include "containers/geom/barycenter.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

using containers::mesh::Mesh;
using containers::mesh::SubMesh;

Contact Contact::create(const Mesh& slave, const Mesh& master,
                        std::vector<std::pair<std::string, std::string>> components,
                        std::optional<std::string> multiplier, std::optional<std::string> imposed_value) {
  const store::Handle<containers::mesh::Coords> coords = slave.coords();
  QUENLITH_VERIFY(master.coords() == coords, "Contact: slave and master meshes must share a Coords");
  const std::size_t dim = store::read(coords)->dim();
  QUENLITH_VERIFY(components.size() == dim,
                  "Contact: {} component(s) for a {}-D space \u2014 the normal couples every displacement "
                  "component, give one (variable, dual) pair per dimension, in ambient order",
                  components.size(), dim);
  const std::vector<NodeId> ids = node_cloud_of(slave.subs());
  QUENLITH_VERIFY(!ids.empty(), "Contact: slave mesh carries no node");
  Fields f;
  const Mesh slave_poi1 = Mesh::from_submesh(SubMesh::poi1_from_ids(coords, ids));
  const std::vector<std::vector<double>> points = store::read(coords)->coords_of(ids);
  for (containers::geom::SurfaceProjection& p : containers::geom::project_points(master, points))
    f.pairings.push_back(Pairing{std::move(p.nodes), std::move(p.weights), std::move(p.normal), p.gap});
  const Mesh multiplier_mesh = containers::geom::barycenter(slave_poi1);
  std::vector<const std::vector<NodeId>*> more;
  for (const Pairing& p : f.pairings) more.push_back(&p.nodes);
  const Mesh support = Mesh::from_submesh(SubMesh::poi1_from_ids(coords, extend_with_new_nodes(ids, more)));
  for (auto& [variable, target_dual] : components)
    f.components.push_back(Component{std::move(variable), std::move(target_dual)});
  f.multiplier = multiplier.value_or("lambda_contact");
  f.imposed_value = imposed_value.value_or("contact_gap");
  const auto subs_of = [](const Mesh& m) { return MeshList(m.subs().begin(), m.subs().end()); };
  f.slave_mesh = subs_of(slave_poi1);
  f.multiplier_mesh = subs_of(multiplier_mesh);
  f.support_mesh = subs_of(support);
  return Contact(std::move(f));
}

std::vector<Relation> Contact::relations() const {
  std::vector<Relation> out;
  const std::vector<NodeId> multipliers = first_poi1_nodes(f_.multiplier_mesh);
  const std::vector<NodeId> slaves = first_poi1_nodes(f_.slave_mesh);
  out.reserve(f_.pairings.size());
  for (std::size_t i = 0; i < f_.pairings.size(); ++i) {
    const Pairing& p = f_.pairings[i];
    Relation r{f_.imposed_value, {}, node_at(multipliers, i), Sense::GreaterEqual};
    const NodeId s = node_at(slaves, i);
    const std::size_t dims = std::min(p.normal.size(), f_.components.size());
    const std::size_t n = std::min(p.nodes.size(), p.weights.size());
    for (std::size_t d = 0; d < dims; ++d) {
      const Component& c = f_.components[d];
      r.terms.push_back(RelationTerm{c.variable, c.target_dual, p.normal[d], s});
      for (std::size_t j = 0; j < n; ++j)
        r.terms.push_back(RelationTerm{c.variable, c.target_dual, -p.weights[j] * p.normal[d], p.nodes[j]});
    }
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<BlockRecipe> Contact::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>&) const {
  std::vector<BlockRecipe> out;
  if (kind != OperatorKind::Stiffness) return out;
  const MeshHandle& m = mesh_at(f_.multiplier_mesh, 0);
  const MeshHandle& s = mesh_at(f_.support_mesh, 0);
  const std::vector<NodeId> slaves = first_poi1_nodes(f_.slave_mesh);
  std::vector<std::string> variables, duals;
  for (const Component& c : f_.components) {
    variables.push_back(c.variable);
    duals.push_back(c.target_dual);
  }
  SubMatrix c = SubMatrix::new_(m, s, {f_.imposed_value}, std::move(variables), Ordering::NodesThenVars, false);
  SubMatrix ct = SubMatrix::new_(s, m, std::move(duals), {f_.multiplier}, Ordering::NodesThenVars, false);
  const std::span<const NodeId> mult = c.row_nodes();
  for (std::size_t i = 0; i < f_.pairings.size(); ++i) {
    const Pairing& p = f_.pairings[i];
    const NodeId mi = node_at(mult, i);
    const NodeId si = node_at(slaves, i);
    const std::size_t dims = std::min(p.normal.size(), f_.components.size());
    const std::size_t n = std::min(p.nodes.size(), p.weights.size());
    for (std::size_t d = 0; d < dims; ++d) {
      const Component& k = f_.components[d];
      c.add_entry(mi, f_.imposed_value, si, k.variable, p.normal[d]);
      ct.add_entry(si, k.target_dual, mi, f_.multiplier, p.normal[d]);
      for (std::size_t j = 0; j < n; ++j) {
        c.add_entry(mi, f_.imposed_value, p.nodes[j], k.variable, -p.weights[j] * p.normal[d]);
        ct.add_entry(p.nodes[j], k.target_dual, mi, f_.multiplier, -p.weights[j] * p.normal[d]);
      }
    }
  }
  LiteralBlocks blocks;
  blocks.push_back(std::move(c));
  blocks.push_back(std::move(ct));
  out.emplace_back(std::move(blocks));
  return out;
}

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
