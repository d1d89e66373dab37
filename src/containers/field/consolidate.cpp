#include "containers/field/consolidate.hpp"

#include <optional>
#include <vector>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "dump/number_format.hpp"
#include "store/store.hpp"

namespace quenlith::containers::field {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::element_field::SubSpaceHandle;
using containers::mesh::SubMesh;
using containers::node_field::NodeField;
using containers::node_field::NodeId;
using containers::node_field::SubNodeField;
using store::Handle;

namespace {

// Groups zone indices by support handle: groups in order of their first member,
// members in field order.
template <class Support>
std::vector<std::vector<std::size_t>> group_by_support(std::span<const Support> supports) {
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < supports.size(); ++i) {
    std::optional<std::size_t> g;
    for (std::size_t j = 0; j < groups.size() && !g; ++j)
      if (supports[groups[j].front()] == supports[i]) g = j;
    if (!g) {
      g = groups.size();
      groups.emplace_back();
    }
    groups[*g].push_back(i);
  }
  return groups;
}

// Fuses the zones of one subspace (at least two, all readable) into a new zone: a
// component is copied from the first member carrying it and compared, value by value,
// with every later member carrying it.
SubElementField fuse(const SubSpaceHandle& support, std::span<const Handle<SubElementField>> members) {
  std::vector<std::string> names;
  for (const auto& h : members) containers::field::add_components(names, store::read(h)->components());
  SubElementField fused = SubElementField::create(support, names);
  const std::uint64_t n_cells = fused.cell_count();
  const std::uint64_t n_gauss = fused.gauss_count();
  const std::size_t nc = names.size();
  std::vector<std::uint8_t> written(nc, 0);
  std::span<double> out = fused.values_mut();
  for (const auto& h : members) {
    store::ReadGuard<SubElementField> guard = store::read(h);
    const SubElementField& m = *guard;
    // Zones on one subspace have its shape; a record that disagrees is damaged.
    QUENLITH_VERIFY(m.cell_count() == n_cells && m.gauss_count() == n_gauss,
                    "consolidate_element: a zone of {} cell(s) × {} Gauss point(s) on a subspace of {} × {}",
                    m.cell_count(), m.gauss_count(), n_cells, n_gauss);
    const std::size_t mc = m.component_count();
    for (std::size_t c = 0; c < mc; ++c) {
      const std::size_t f = *containers::field::find_component(names, m.components()[c]);
      const bool first = !written[f];
      written[f] = 1;
      for (std::uint64_t e = 0; e < n_cells; ++e)
        for (std::uint64_t g = 0; g < n_gauss; ++g) {
          const double v = m.values()[(e * n_gauss + g) * mc + c];
          double& at = out[(e * n_gauss + g) * nc + f];
          if (first) {
            at = v;
          } else if (!(at == v)) {
            throw Error::message("incoherent ElementField on shared support: cell {}, gauss {}, component {}: {} ≠ {}",
                                 e, g, m.components()[c], dump::plain_number(at), dump::plain_number(v));
          }
        }
    }
  }
  return fused;
}

// Fuses the zones of one support (at least two, all readable) into a new zone.
SubNodeField fuse(const Handle<SubMesh>& support, std::span<const Handle<SubNodeField>> members) {
  std::vector<std::string> names;
  for (const auto& h : members) containers::field::add_components(names, store::read(h)->components());
  SubNodeField fused = SubNodeField::create(support, names);
  const std::size_t n = fused.node_count();
  const std::size_t nc = names.size();
  std::vector<std::uint8_t> written(n * nc, 0);
  std::span<double> out = fused.values_mut();
  for (const auto& h : members) {
    store::ReadGuard<SubNodeField> guard = store::read(h);
    const SubNodeField& m = *guard;
    const std::size_t mc = m.component_count();
    std::vector<std::size_t> name_of(mc);
    for (std::size_t c = 0; c < mc; ++c) name_of[c] = *containers::field::find_component(names, m.components()[c]);
    for (std::size_t r = 0; r < m.node_count(); ++r) {
      const NodeId id = m.nodes()[r];
      // Members share the support, so their rows are the fused zone's rows; a pair
      // is met first at the node's first row.
      std::uint64_t row;
      if (r < n && fused.nodes()[r] == id) {
        row = fused.first_row_at(r);
      } else {
        const auto found = fused.node_index(id);
        if (!found) continue;
        row = *found;
      }
      for (std::size_t c = 0; c < mc; ++c) {
        const std::size_t at = row * nc + name_of[c];
        const double v = m.values()[r * mc + c];
        if (!written[at]) {
          written[at] = 1;
          out[at] = v;
        } else if (!(out[at] == v)) {
          throw Error::message("incoherent NodeField on shared support: node {}, component {}: {} ≠ {}", id,
                               m.components()[c], dump::plain_number(out[at]), dump::plain_number(v));
        }
      }
    }
  }
  // A node listed twice by the support shows its values on every one of its rows.
  if (fused.has_repeated_nodes()) {
    for (std::size_t r = 0; r < n; ++r) {
      const std::uint64_t f = fused.first_row_at(r);
      if (f != r)
        for (std::size_t c = 0; c < nc; ++c) out[r * nc + c] = out[f * nc + c];
    }
  }
  return fused;
}

// The zones of `field` grouped by support: a zone alone on its support is kept as
// the same handle, a group of several becomes one new stored zone (`fuse`).
template <class Field, class Zone, class Support>
Field fuse_groups(const Field& field) {
  const auto zones = field.subs();
  std::vector<Support> supports;
  supports.reserve(zones.size());
  for (const auto& h : zones) supports.push_back(store::read(h)->support());
  Field out;
  for (const auto& group : group_by_support(std::span<const Support>(supports))) {
    if (group.size() == 1) {
      out.push_sub(zones[group.front()]);
      continue;
    }
    std::vector<Handle<Zone>> members;
    members.reserve(group.size());
    for (std::size_t i : group) members.push_back(zones[i]);
    out.push_sub(store::insert(fuse(supports[group.front()], members)));
  }
  return out;
}

}  // namespace

NodeField consolidate_node(const NodeField& field) {
  NodeField out = fuse_groups<NodeField, SubNodeField, Handle<SubMesh>>(field);
  out.check_coherence();
  return out;
}

ElementField consolidate_element(const ElementField& field) {
  return fuse_groups<ElementField, SubElementField, SubSpaceHandle>(field);
}

}  // namespace quenlith::containers::field
