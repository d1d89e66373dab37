#include "containers/node_field/node_field.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "containers/field/components.hpp"
#include "containers/field/filter.hpp"
#include "containers/node_field/id_index.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "dump/number_format.hpp"
#include "containers/field/consolidate.hpp"
#include "store/store.hpp"

namespace quenlith::containers::node_field {

using mesh::Coords;
using mesh::SubMesh;
using store::Handle;

namespace {

Handle<SubMesh> support_of(const NodeField::H& zone) {
  store::ReadGuard<SubNodeField> guard = store::read(zone);
  return guard->support();
}

Handle<Coords> coords_of(const NodeField::H& zone) {
  const Handle<SubMesh> support = support_of(zone);
  store::ReadGuard<SubMesh> guard = store::read(support);
  return guard->coords();
}

// The number of leading positions where `a` and `b` hold the same ids: blocks are
// compared whole (memcmp), the last one id by id.
std::size_t same_prefix(const NodeId* a, const NodeId* b, std::size_t n) {
  constexpr std::size_t kBlock = 1024;
  std::size_t i = 0;
  while (i + kBlock <= n && std::memcmp(a + i, b + i, kBlock * sizeof(NodeId)) == 0) i += kBlock;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

NodeField NodeField::create(const mesh::Mesh& mesh, const std::vector<std::string>& components) {
  QUENLITH_VERIFY(!mesh.empty(), "NodeField: mesh has no submesh");
  field::check_component_names(components, "SubNodeField");
  NodeField out;
  for (const auto& sub : mesh.subs()) out.push_sub(store::insert(SubNodeField::on_nodes_of(sub, components)));
  return out;
}

NodeField NodeField::with_components_per_submesh(const mesh::Mesh& mesh,
                                                 const std::vector<std::vector<std::string>>& components) {
  QUENLITH_VERIFY(!mesh.empty(), "NodeField: mesh has no submesh");
  QUENLITH_VERIFY(components.size() == mesh.size(), "NodeField: {} component list(s) supplied for {} submesh(es)",
                  components.size(), mesh.size());
  NodeField out;
  for (std::size_t i = 0; i < mesh.size(); ++i)
    out.push_sub(store::insert(SubNodeField::on_nodes_of(mesh.subs()[i], components[i])));
  return out;
}

NodeField NodeField::on_submesh(const Handle<SubMesh>& submesh, std::vector<std::string> components) {
  NodeField out;
  out.push_sub(store::insert(SubNodeField::on_nodes_of(submesh, std::move(components))));
  return out;
}

NodeField NodeField::from_dof_values(Handle<Coords> coords, const field::DofList& dofs,
                                     std::vector<double> values) {
  QUENLITH_VERIFY(dofs.size() == values.size(), "from_dof_values: {} dof(s) but {} value(s)", dofs.size(),
                  values.size());
  const std::size_t n = dofs.size();
  // A node-major list over distinct nodes is the zone's own layout: its values
  // become the zone's as they stand. (A node met again later keeps its last value,
  // which the general path sorts out.)
  if (dofs.node_major() && !has_repeated_ids(dofs.run_nodes())) {
    std::vector<std::string> names;
    names.reserve(dofs.pattern().size());
    for (std::uint32_t v : dofs.pattern()) names.push_back(dofs.names()[v]);
    const Handle<SubMesh> support = store::insert(SubMesh::poi1_from_ids(std::move(coords), dofs.run_nodes()));
    std::vector<H> list;
    list.push_back(store::insert(SubNodeField::create(support, std::move(names), std::move(values))));
    return NodeField(std::move(list));
  }
  // Distinct nodes and names, by first appearance; every DOF keeps its row.
  IdIndex rows = IdIndex::for_ids(dofs.nodes());
  std::vector<NodeId> distinct;
  std::vector<std::uint32_t> row_of_dof(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto [row, added] = rows.try_insert(dofs.nodes()[k], static_cast<std::uint32_t>(distinct.size()));
    if (added) distinct.push_back(dofs.nodes()[k]);
    row_of_dof[k] = row;
  }
  std::vector<std::uint32_t> comp_of_var(dofs.names().size(), IdIndex::kNone);
  std::vector<std::string> names;
  for (std::uint32_t v : dofs.vars()) {
    if (comp_of_var[v] != IdIndex::kNone) continue;
    comp_of_var[v] = static_cast<std::uint32_t>(names.size());
    names.push_back(dofs.names()[v]);
  }
  const Handle<SubMesh> support = store::insert(SubMesh::poi1_from_ids(std::move(coords), distinct));
  SubNodeField zone = SubNodeField::create(support, std::move(names));
  const std::size_t nc = zone.component_count();
  std::span<double> out = zone.values_mut();
  for (std::size_t k = 0; k < n; ++k) out[std::size_t{row_of_dof[k]} * nc + comp_of_var[dofs.vars()[k]]] = values[k];
  std::vector<H> list;
  list.push_back(store::insert(std::move(zone)));
  return NodeField(std::move(list));
}

// ---------------------------------------------------------------------------
// List operations

void NodeField::check_joins(const H& first, const H& incoming) {
  const Handle<Coords> a = coords_of(first);
  const Handle<Coords> b = coords_of(incoming);
  if (!(a == b)) throw Error::message("mismatched Coords");
}

Handle<Coords> NodeField::coords() const {
  QUENLITH_VERIFY(!empty(), "index {} out of bounds (len={})", 0, 0);
  return coords_of(subs().front());
}

NodeField NodeField::slice(std::span<const std::uint64_t> indices) const {
  return containers::field::consolidate_node(SubList::slice(indices));
}

NodeField NodeField::union_(const NodeField& a, const NodeField& b) {
  return containers::field::consolidate_node(SubList::union_(a, b));
}

NodeField NodeField::union_(const H& a, const H& b) { return containers::field::consolidate_node(SubList::union_(a, b)); }

NodeField NodeField::union_sub(const H& zone) const {
  return containers::field::consolidate_node(SubList::union_sub(zone));
}

NodeField NodeField::filter_components(std::span<const std::string> names) const {
  return NodeField(field::filter_components<SubNodeField>(subs(), names));
}

std::vector<std::string> NodeField::components() const {
  std::vector<std::string> out;
  for (const H& h : subs()) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    field::add_components(out, guard->components());
  }
  return out;
}

std::vector<NodeId> NodeField::node_ids() const {
  std::vector<NodeId> out;
  std::optional<IdIndex> seen;
  for (const H& h : subs()) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    if (!seen) seen.emplace(IdIndex::for_ids(guard->nodes()));
    for (NodeId id : guard->nodes())
      if (seen->try_insert(id, 0).second) out.push_back(id);
  }
  return out;
}

std::optional<double> NodeField::value(NodeId node, std::string_view component) const {
  for (const H& h : subs()) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    const auto c = guard->component_index(component);
    if (!c) continue;
    const auto row = guard->node_index(node);
    if (!row) continue;
    return guard->values()[*row * guard->component_count() + *c];
  }
  return std::nullopt;
}

void NodeField::check_coherence() const {
  if (empty()) return;
  // A slot per distinct node id, then per name of the field: the first value seen.
  const std::vector<std::string> names = components();
  std::optional<IdIndex> slots;
  std::uint32_t n_slots = 0;
  std::vector<double> first;
  std::vector<std::uint8_t> seen;
  for (const H& h : subs()) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    const SubNodeField& z = *guard;
    if (size() == 1 && !z.has_repeated_nodes()) return;  // every pair met once
    if (!slots) slots.emplace(IdIndex::for_ids(z.nodes()));
    std::vector<std::size_t> name_of(z.component_count());
    for (std::size_t c = 0; c < name_of.size(); ++c) name_of[c] = *field::find_component(names, z.components()[c]);
    const std::size_t nc = z.component_count();
    for (std::size_t r = 0; r < z.node_count(); ++r) {
      const NodeId id = z.nodes()[r];
      const auto [slot, added] = slots->try_insert(id, n_slots);
      if (added) {
        ++n_slots;
        first.resize(std::size_t{n_slots} * names.size());
        seen.resize(std::size_t{n_slots} * names.size(), 0);
      }
      for (std::size_t c = 0; c < nc; ++c) {
        const std::size_t at = std::size_t{slot} * names.size() + name_of[c];
        const double v = z.values()[r * nc + c];
        if (!seen[at]) {
          seen[at] = 1;
          first[at] = v;
        } else if (!(first[at] == v)) {
          throw Error::message("incoherent NodeField: node {}, component {}: {} ≠ {}", id, z.components()[c],
                               dump::plain_number(first[at]), dump::plain_number(v));
        }
      }
    }
  }
}

std::vector<double> NodeField::values_at(std::span<const NodeId> nodes, std::string_view component) const {
  const NodeFieldView view(*this);
  NodeFieldView::Reader reader(view, component);
  std::vector<double> out(nodes.size());
  const std::size_t n = nodes.size();
  std::size_t k = 0;
  while (k < n) {
    const auto at = reader.find(nodes[k]);
    if (!at) throw Error::message("no subfield defines (node {}, component {})", nodes[k], component);
    const SubNodeField& z = view.zone(at->zone);
    const std::size_t nc = z.component_count();
    const double* values = z.values().data();
    out[k++] = values[at->row * nc + at->comp];
    if (at->carrier != 0 || z.has_repeated_nodes()) continue;
    // The first zone carrying the name answers for every node it holds: follow its
    // rows as long as the nodes asked for do.
    const NodeId* zn = z.nodes().data();
    const std::size_t rows = z.node_count();
    std::size_t r = at->row + 1;
    while (k < n && r < rows && nodes[k] == zn[r]) out[k++] = values[r++ * nc + at->comp];
  }
  return out;
}

std::vector<double> NodeField::dof_values(const field::DofList& dofs) const {
  std::vector<double> out(dofs.size());
  dof_values(dofs, out);
  return out;
}

void NodeField::dof_values(const field::DofList& dofs, std::span<double> out) const {
  QUENLITH_VERIFY(out.size() == dofs.size(), "dof_values: {} dof(s) but room for {} value(s)", dofs.size(),
                  out.size());
  const NodeFieldView view(*this);
  const std::size_t n = dofs.size();
  const std::size_t n_names = dofs.names().size();
  std::vector<std::optional<NodeFieldView::Reader>> readers(n_names);
  // For each zone, the component of every name it is the first carrier of (else
  // kNone): within a run, a DOF is served by the run's zone exactly when its name
  // maps to the run's next component there.
  constexpr std::uint32_t kNone = IdIndex::kNone;
  std::vector<std::vector<std::uint32_t>> first_comp(view.zone_count());
  auto table_of = [&](std::size_t zone) -> const std::uint32_t* {
    std::vector<std::uint32_t>& t = first_comp[zone];
    if (t.empty()) {
      t.assign(n_names, kNone);
      for (std::size_t v = 0; v < n_names; ++v) {
        for (std::size_t i = 0; i < view.zone_count(); ++i) {
          const auto c = view.zone(i).component_index(dofs.names()[v]);
          if (!c) continue;
          if (i == zone) t[v] = static_cast<std::uint32_t>(*c);
          break;
        }
      }
    }
    return t.data();
  };
  // Whether the list's runs name a zone's components in the zone's order.
  const bool whole_runs = dofs.node_major();
  std::vector<std::int8_t> pattern_fits(view.zone_count(), -1);
  auto pattern_is_zone = [&](std::size_t zone, std::size_t nc) {
    std::int8_t& fits = pattern_fits[zone];
    if (fits < 0) {
      const std::uint32_t* comp_of = table_of(zone);
      const auto pattern = dofs.pattern();
      fits = pattern.size() == nc;
      for (std::size_t j = 0; j < pattern.size() && fits; ++j) fits = comp_of[pattern[j]] == j;
    }
    return fits == 1;
  };
  const NodeId* dn = dofs.nodes().data();
  const std::uint32_t* dv = dofs.vars().data();
  std::size_t k = 0;
  while (k < n) {
    std::optional<NodeFieldView::Reader>& reader = readers[dv[k]];
    if (!reader) reader.emplace(view, dofs.names()[dv[k]]);
    const auto at = reader->find(dn[k]);
    if (!at) {
      out[k++] = 0.0;
      continue;
    }
    const SubNodeField& z = view.zone(at->zone);
    const std::size_t nc = z.component_count();
    const double* values = z.values().data();
    std::size_t p = at->row * nc + at->comp;
    out[k++] = values[p++];
    if (at->carrier != 0 || z.has_repeated_nodes()) continue;
    // Follow the zone's values in storage order as long as the DOFs do: the layout
    // of a DOF list made node by node over the zone's components.
    const std::uint32_t* comp_of = table_of(at->zone);
    const NodeId* zn = z.nodes().data();
    const std::size_t end = z.values().size();
    std::size_t r = p / nc, c = p % nc;
    auto step = [&] {
      if (k < n && p < end && dn[k] == zn[r] && comp_of[dv[k]] == c) {
        out[k++] = values[p++];
        if (++c == nc) {
          c = 0;
          ++r;
        }
        return true;
      }
      return false;
    };
    while (c != 0 && step()) {
    }
    // Whole runs of a node-major list whose pattern is the zone's components in
    // order: compare the runs' nodes with the zone's, then copy the values at once.
    if (c == 0 && whole_runs && k % nc == 0 && pattern_is_zone(at->zone, nc)) {
      const std::size_t rows = std::min(z.node_count() - r, (n - k) / nc);
      const std::size_t done = same_prefix(dofs.run_nodes().data() + k / nc, zn + r, rows);
      if (done > 0) std::memcpy(out.data() + k, values + p, done * nc * sizeof(double));
      k += done * nc;
      p += done * nc;
      r += done;
    }
    while (step()) {
    }
  }
}

std::vector<Handle<SubMesh>> NodeField::support_handles() const {
  std::vector<Handle<SubMesh>> out;
  out.reserve(size());
  for (const H& h : subs()) out.push_back(support_of(h));
  return out;
}

// ---------------------------------------------------------------------------
// Text forms

std::string NodeField::display_text() const { return fmt::format("NodeField: {} subfield(s)", size()); }

// ---------------------------------------------------------------------------
// View

NodeFieldView::NodeFieldView(const NodeField& field) : components_(field.components()) {
  const auto handles = field.subs();
  zones_.reserve(handles.size());
  supports_.reserve(handles.size());
  // Zones first, in field order, each object locked once.
  for (std::size_t i = 0; i < handles.size(); ++i) {
    const SubNodeField* same = nullptr;
    for (std::size_t j = 0; j < i && !same; ++j)
      if (handles[j] == handles[i]) same = zones_[j];
    if (!same) {
      zone_guards_.push_back(store::read(handles[i]));
      same = &zone_guards_.back().get();
    }
    zones_.push_back(same);
  }
  // Then their supports, in field order.
  for (std::size_t i = 0; i < handles.size(); ++i) {
    const mesh::SubMesh* same = nullptr;
    for (std::size_t j = 0; j < i && !same; ++j)
      if (zones_[j]->support() == zones_[i]->support()) same = supports_[j];
    if (!same) {
      support_guards_.push_back(store::read(zones_[i]->support()));
      same = &support_guards_.back().get();
    }
    supports_.push_back(same);
  }
}

std::optional<double> NodeFieldView::value(NodeId node, std::string_view component) const {
  for (std::size_t i = 0; i < zones_.size(); ++i) {
    const SubNodeField& z = *zones_[i];
    const auto c = z.component_index(component);
    if (!c) continue;
    const auto row = z.node_index_in(*supports_[i], node);
    if (!row) continue;
    return z.values()[*row * z.component_count() + *c];
  }
  return std::nullopt;
}

NodeFieldView::Reader::Reader(const NodeFieldView& view, std::string_view component) : view_(&view) {
  for (std::size_t i = 0; i < view.zones_.size(); ++i)
    if (const auto c = view.zones_[i]->component_index(component)) carriers_.push_back({i, *c, 0});
}

std::optional<NodeFieldView::Location> NodeFieldView::Reader::find(NodeId node) {
  for (std::size_t j = 0; j < carriers_.size(); ++j) {
    Carrier& k = carriers_[j];
    const SubNodeField& z = *view_->zones_[k.zone];
    const auto nodes = z.nodes();
    std::uint64_t row;
    // Nodes asked for in support order sit at the row after the last one found, or
    // at that row again (several names of one node); with no repeated node a row
    // holding the id is the node's only row.
    if (!z.has_repeated_nodes() && k.next_row < nodes.size() && nodes[k.next_row] == node) {
      row = k.next_row;
    } else if (!z.has_repeated_nodes() && k.next_row > 0 && k.next_row - 1 < nodes.size() &&
               nodes[k.next_row - 1] == node) {
      row = k.next_row - 1;
    } else {
      const auto found = z.node_index_in(*view_->supports_[k.zone], node);
      if (!found) continue;
      row = *found;
    }
    k.next_row = row + 1;
    return Location{k.zone, j, row, k.comp};
  }
  return std::nullopt;
}

}  // namespace quenlith::containers::node_field
