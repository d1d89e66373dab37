#include "containers/node_field/node_field.hpp"

#include <fmt/format.h>

#include "containers/field/components.hpp"
#include "containers/node_field/id_index.hpp"
#include "dump/container_frame.hpp"
#include "dump/debug_text.hpp"
#include "dump/number_format.hpp"
#include "ops/field/consolidate.hpp"
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

}  // namespace

// ---------------------------------------------------------------------------
// Construction

NodeField NodeField::create(const mesh::Mesh& mesh, const std::vector<std::string>& components) {
  QUENLITH_VERIFY(!mesh.empty(), "NodeField: mesh has no submesh");
  field::check_component_names(components, "SubNodeField");
  NodeField out;
  out.zones_.reserve(mesh.size());
  for (const auto& sub : mesh.subs()) out.push_sub(store::insert(SubNodeField::on_nodes_of(sub, components)));
  return out;
}

NodeField NodeField::with_components_per_submesh(const mesh::Mesh& mesh,
                                                 const std::vector<std::vector<std::string>>& components) {
  QUENLITH_VERIFY(!mesh.empty(), "NodeField: mesh has no submesh");
  QUENLITH_VERIFY(components.size() == mesh.size(), "NodeField: {} component list(s) supplied for {} submesh(es)",
                  components.size(), mesh.size());
  NodeField out;
  out.zones_.reserve(mesh.size());
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
                                     std::span<const double> values) {
  QUENLITH_VERIFY(dofs.size() == values.size(), "from_dof_values: {} dof(s) but {} value(s)", dofs.size(),
                  values.size());
  const std::size_t n = dofs.size();
  // Distinct nodes and names, by first appearance; every DOF keeps its row.
  IdIndex rows = IdIndex::for_ids(dofs.nodes);
  std::vector<NodeId> distinct;
  std::vector<std::uint32_t> row_of_dof(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto [row, added] = rows.try_insert(dofs.nodes[k], static_cast<std::uint32_t>(distinct.size()));
    if (added) distinct.push_back(dofs.nodes[k]);
    row_of_dof[k] = row;
  }
  std::vector<std::uint32_t> comp_of_var(dofs.names.size(), IdIndex::kNone);
  std::vector<std::string> names;
  for (std::uint32_t v : dofs.vars) {
    if (comp_of_var[v] != IdIndex::kNone) continue;
    comp_of_var[v] = static_cast<std::uint32_t>(names.size());
    names.push_back(dofs.names[v]);
  }
  const Handle<SubMesh> support = store::insert(SubMesh::poi1_from_ids(std::move(coords), distinct));
  SubNodeField zone = SubNodeField::create(support, std::move(names));
  const std::size_t nc = zone.component_count();
  std::span<double> out = zone.values_mut();
  for (std::size_t k = 0; k < n; ++k) out[std::size_t{row_of_dof[k]} * nc + comp_of_var[dofs.vars[k]]] = values[k];
  std::vector<H> list;
  list.push_back(store::insert(std::move(zone)));
  return NodeField(std::move(list));
}

// ---------------------------------------------------------------------------
// List operations

bool NodeField::contains(const H& zone) const noexcept {
  for (const H& h : zones_)
    if (h == zone) return true;
  return false;
}

void NodeField::check_same_coords(const H& zone) const {
  if (zones_.empty()) return;
  const Handle<Coords> first = coords_of(zones_.front());
  const Handle<Coords> other = coords_of(zone);
  if (!(first == other)) throw Error::message("mismatched Coords");
}

void NodeField::push_sub(H zone) {
  check_same_coords(zone);  // on failure `zone` goes with the unwinding
  zones_.push_back(std::move(zone));
}

void NodeField::push_zones(std::span<const H> zones) {
  if (zones.empty()) return;
  check_same_coords(zones.front());
  for (const H& h : zones)
    if (!contains(h)) zones_.push_back(h);
}

Handle<Coords> NodeField::coords() const {
  QUENLITH_VERIFY(!zones_.empty(), "index {} out of bounds (len={})", 0, 0);
  return coords_of(zones_.front());
}

NodeField::H NodeField::zone(std::uint64_t i) const {
  QUENLITH_VERIFY(i < zones_.size(), "index {} out of bounds (len={})", i, zones_.size());
  return zones_[i];
}

NodeField NodeField::slice(std::span<const std::uint64_t> indices) const {
  NodeField picked;
  picked.zones_.reserve(indices.size());
  for (std::uint64_t i : indices) picked.push_sub(zone(i));
  return ops::field::consolidate_node(picked);
}

NodeField NodeField::merge(const NodeField& a, const NodeField& b) {
  NodeField both;
  both.push_zones(a.zones_);
  both.push_zones(b.zones_);
  return ops::field::consolidate_node(both);
}

NodeField NodeField::union_subfield(const H& zone) const {
  NodeField both;
  both.push_zones(zones_);
  if (!both.contains(zone)) both.push_sub(zone);
  return ops::field::consolidate_node(both);
}

NodeField NodeField::union_zones(const H& a, const H& b) {
  NodeField both;
  both.push_sub(a);
  if (!(b == a)) both.push_sub(b);
  return ops::field::consolidate_node(both);
}

// ---------------------------------------------------------------------------
// Queries

std::vector<std::string> NodeField::components() const {
  std::vector<std::string> out;
  for (const H& h : zones_) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    field::add_components(out, guard->components());
  }
  return out;
}

std::vector<NodeId> NodeField::node_ids() const {
  std::vector<NodeId> out;
  std::optional<IdIndex> seen;
  for (const H& h : zones_) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    if (!seen) seen.emplace(IdIndex::for_ids(guard->nodes()));
    for (NodeId id : guard->nodes())
      if (seen->try_insert(id, 0).second) out.push_back(id);
  }
  return out;
}

std::optional<double> NodeField::value(NodeId node, std::string_view component) const {
  for (const H& h : zones_) {
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
  if (zones_.empty()) return;
  // A slot per distinct node id, then per name of the field: the first value seen.
  const std::vector<std::string> names = components();
  std::optional<IdIndex> slots;
  std::uint32_t n_slots = 0;
  std::vector<double> first;
  std::vector<std::uint8_t> seen;
  for (const H& h : zones_) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    const SubNodeField& z = *guard;
    if (zones_.size() == 1 && !z.has_repeated_nodes()) return;  // every pair met once
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
  std::vector<double> out;
  out.reserve(nodes.size());
  for (NodeId id : nodes) {
    const auto v = reader.value(id);
    if (!v) throw Error::message("no subfield defines (node {}, component {})", id, component);
    out.push_back(*v);
  }
  return out;
}

std::vector<double> NodeField::dof_values(const field::DofList& dofs) const {
  const NodeFieldView view(*this);
  std::vector<std::optional<NodeFieldView::Reader>> readers(dofs.names.size());
  std::vector<double> out(dofs.size());
  for (std::size_t k = 0; k < dofs.size(); ++k) {
    std::optional<NodeFieldView::Reader>& reader = readers[dofs.vars[k]];
    if (!reader) reader.emplace(view, dofs.names[dofs.vars[k]]);
    out[k] = reader->value(dofs.nodes[k]).value_or(0.0);
  }
  return out;
}

std::vector<Handle<SubMesh>> NodeField::support_handles() const {
  std::vector<Handle<SubMesh>> out;
  out.reserve(zones_.size());
  for (const H& h : zones_) out.push_back(support_of(h));
  return out;
}

// ---------------------------------------------------------------------------
// Text forms

std::string NodeField::display_text() const { return fmt::format("NodeField: {} subfield(s)", zones_.size()); }

std::string NodeField::debug_text() const {
  std::vector<std::string> items;
  items.reserve(zones_.size());
  for (const H& h : zones_) {
    std::string item;
    h.fmt_resolved(item, false);
    items.push_back(std::move(item));
  }
  return dump::debug_container("NodeField", items);
}

std::string NodeField::dump_text(const dump::DumpOptions& options) const {
  return dump::dump_container(display_text(), zones_.size(), [&](std::size_t i) {
    store::ReadGuard<SubNodeField> guard = store::read(zones_[i]);
    return guard->dump_text(options);
  });
}

// ---------------------------------------------------------------------------
// View

NodeFieldView::NodeFieldView(const NodeField& field) : components_(field.components()) {
  const auto handles = field.zones();
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

NodeFieldView::Reader::Reader(const NodeFieldView& view, std::string_view component) {
  for (std::size_t i = 0; i < view.zones_.size(); ++i) {
    const SubNodeField& z = *view.zones_[i];
    if (const auto c = z.component_index(component)) carriers_.push_back({&z, view.supports_[i], *c, 0});
  }
}

std::optional<double> NodeFieldView::Reader::value(NodeId node) {
  for (Carrier& k : carriers_) {
    const SubNodeField& z = *k.zone;
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
      const auto found = z.node_index_in(*k.support, node);
      if (!found) continue;
      row = *found;
    }
    k.next_row = row + 1;
    return z.values()[row * z.component_count() + k.comp];
  }
  return std::nullopt;
}

}  // namespace quenlith::containers::node_field
