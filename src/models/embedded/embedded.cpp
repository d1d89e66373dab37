#include "models/embedded/embedded.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "base/error.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/geom/locate.hpp"
#include "containers/geom/barycenter.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

using containers::mesh::Mesh;
using containers::mesh::SubMesh;

Embedded Embedded::create(const Mesh& immersed, const Mesh& host,
                          std::vector<std::pair<std::string, std::string>> components,
                          std::optional<std::vector<std::string>> multipliers,
                          std::optional<std::vector<std::string>> imposed_values, std::optional<double> tol) {
  QUENLITH_VERIFY(!components.empty(), "Embedded: at least one component is required");
  QUENLITH_VERIFY(!multipliers || multipliers->size() == components.size(),
                  "Embedded: multipliers length must match components");
  QUENLITH_VERIFY(!imposed_values || imposed_values->size() == components.size(),
                  "Embedded: imposed_values length must match components");
  const store::Handle<containers::mesh::Coords> coords = immersed.coords();
  QUENLITH_VERIFY(host.coords() == coords, "Embedded: immersed and host meshes must share a Coords");
  const std::vector<NodeId> ids = node_cloud_of(immersed.subs());
  QUENLITH_VERIFY(!ids.empty(), "Embedded: immersed mesh carries no node");
  Fields f;
  const Mesh immersed_poi1 = Mesh::from_submesh(SubMesh::poi1_from_ids(coords, ids));
  const std::vector<std::vector<double>> points = store::read(coords)->coords_of(ids);
  const auto located = containers::geom::locate_points(host.subs(), points, tol.value_or(1e-6));
  std::size_t outside = 0, first_outside = 0;
  for (std::size_t i = 0; i < located.size(); ++i) {
    if (located[i]) {
      f.hosts.push_back(HostBinding{located[i]->nodes, located[i]->weights});
    } else if (outside++ == 0) {
      first_outside = i;
    }
  }
  QUENLITH_VERIFY(outside == 0,
                  "Embedded: {} immersed node(s) lie outside the host mesh (first at index {}); the immersed mesh "
                  "must be contained in the host",
                  outside, first_outside);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::vector<NodeId>& hn = f.hosts[i].nodes;
    QUENLITH_VERIFY(std::find(hn.begin(), hn.end(), ids[i]) == hn.end(),
                    "Embedded: immersed node {} coincides with a node of its host cell", ids[i]);
  }
  const Mesh multiplier_mesh = containers::geom::barycenter(immersed_poi1);
  std::vector<const std::vector<NodeId>*> more;
  for (const HostBinding& h : f.hosts) more.push_back(&h.nodes);
  const Mesh constrained =
      Mesh::from_submesh(SubMesh::poi1_from_ids(coords, extend_with_new_nodes(ids, more)));
  for (std::size_t c = 0; c < components.size(); ++c) {
    auto& [variable, target_dual] = components[c];
    Component k;
    k.multiplier = multipliers ? std::move((*multipliers)[c]) : fmt::format("lambda_{}", variable);
    k.imposed_value = imposed_values ? std::move((*imposed_values)[c]) : fmt::format("imposed_{}", variable);
    k.variable = std::move(variable);
    k.target_dual = std::move(target_dual);
    f.components.push_back(std::move(k));
  }
  const auto subs_of = [](const Mesh& m) { return MeshList(m.subs().begin(), m.subs().end()); };
  f.immersed_mesh = subs_of(immersed_poi1);
  f.multiplier_mesh = subs_of(multiplier_mesh);
  f.constrained_mesh = subs_of(constrained);
  return Embedded(std::move(f));
}


std::vector<Relation> Embedded::relations() const {
  std::vector<Relation> out;
  const std::vector<NodeId> multipliers = first_poi1_nodes(f_.multiplier_mesh);
  const std::vector<NodeId> immersed = first_poi1_nodes(f_.immersed_mesh);
  out.reserve(f_.components.size() * f_.hosts.size());
  for (const Component& c : f_.components) {
    for (std::size_t i = 0; i < f_.hosts.size(); ++i) {
      const HostBinding& h = f_.hosts[i];
      Relation r{c.imposed_value, {RelationTerm{c.variable, c.target_dual, 1.0, node_at(immersed, i)}}, node_at(multipliers, i),
                 Sense::Equal};
      const std::size_t n = std::min(h.nodes.size(), h.weights.size());
      for (std::size_t j = 0; j < n; ++j)
        r.terms.push_back(RelationTerm{c.variable, c.target_dual, -h.weights[j], h.nodes[j]});
      out.push_back(std::move(r));
    }
  }
  return out;
}

std::vector<BlockRecipe> Embedded::block_recipes(OperatorKind kind, const std::optional<ZoneHandle>&) const {
  std::vector<BlockRecipe> out;
  if (kind != OperatorKind::Stiffness) return out;
  const MeshHandle& m = mesh_at(f_.multiplier_mesh, 0);
  const MeshHandle& k = mesh_at(f_.constrained_mesh, 0);
  const std::vector<NodeId> immersed = first_poi1_nodes(f_.immersed_mesh);
  LiteralBlocks blocks;
  for (const Component& comp : f_.components) {
    SubMatrix c = SubMatrix::new_(m, k, {comp.imposed_value}, {comp.variable}, Ordering::NodesThenVars, false);
    SubMatrix ct = SubMatrix::new_(k, m, {comp.target_dual}, {comp.multiplier}, Ordering::NodesThenVars, false);
    const std::span<const NodeId> mult = c.row_nodes();
    for (std::size_t i = 0; i < f_.hosts.size(); ++i) {
      const NodeId mi = node_at(mult, i);
      const NodeId si = node_at(immersed, i);
      c.add_entry(mi, comp.imposed_value, si, comp.variable, 1.0);
      ct.add_entry(si, comp.target_dual, mi, comp.multiplier, 1.0);
      const HostBinding& h = f_.hosts[i];
      const std::size_t n = std::min(h.nodes.size(), h.weights.size());
      for (std::size_t j = 0; j < n; ++j) {
        c.add_entry(mi, comp.imposed_value, h.nodes[j], comp.variable, -h.weights[j]);
        ct.add_entry(h.nodes[j], comp.target_dual, mi, comp.multiplier, -h.weights[j]);
      }
    }
    blocks.push_back(std::move(c));
    blocks.push_back(std::move(ct));
  }
  out.emplace_back(std::move(blocks));
  return out;
}

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
