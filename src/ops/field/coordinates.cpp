#include "ops/field/coordinates.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::mesh::Coords;
using containers::mesh::NodeId;
using containers::node_field::NodeField;
using containers::node_field::SubNodeField;

namespace {

// The given names, or the first min(dim, 3) of `defaults`.
std::vector<std::string> names_or_default(const std::optional<std::vector<std::string>>& given,
                                          const char* const (&defaults)[3], std::size_t dim) {
  if (given) return *given;
  return std::vector<std::string>(defaults, defaults + std::min<std::size_t>(dim, 3));
}

constexpr const char* kAxes[3] = {"X", "Y", "Z"};
constexpr const char* kDisplacements[3] = {"ux", "uy", "uz"};

enum class Write { Set, Add };

void write_coordinates(const NodeField& field, const std::optional<std::vector<std::string>>& components,
                       const char* const (&defaults)[3], Write mode) {
  const store::Handle<Coords> coords = field.coords();
  const std::size_t dim = store::read(coords)->dim();
  const std::vector<std::string> names = names_or_default(components, defaults, dim);
  QUENLITH_VERIFY(names.size() == dim, "expected {} component name(s) (one per axis), got {}", dim, names.size());
  const std::vector<std::string> carried = field.components();
  for (const std::string& name : names)
    QUENLITH_VERIFY(std::find(carried.begin(), carried.end(), name) != carried.end(),
                    "component '{}' not in field (has: [{}])", name, fmt::join(carried, ", "));

  // Gather every value first, the first zone holding a (node, name) pair winning.
  const std::vector<NodeId> nodes = field.node_ids();
  std::unordered_map<NodeId, std::size_t> row_of;
  row_of.reserve(nodes.size());
  for (std::size_t r = 0; r < nodes.size(); ++r) row_of.emplace(nodes[r], r);
  std::vector<double> values(nodes.size() * dim, 0.0);
  std::vector<bool> known(nodes.size() * dim, false);
  for (const auto& h : field.subs()) {
    store::ReadGuard<SubNodeField> zone = store::read(h);
    const auto zn = zone->components();
    for (std::size_t i = 0; i < dim; ++i) {
      const auto c = std::find(zn.begin(), zn.end(), names[i]);
      if (c == zn.end()) continue;
      const std::size_t k = std::size_t(c - zn.begin());
      const auto zone_nodes = zone->nodes();
      for (std::size_t row = 0; row < zone_nodes.size(); ++row) {
        const std::size_t at = row_of.at(zone_nodes[row]) * dim + i;
        if (known[at]) continue;
        values[at] = zone->get(row, k);
        known[at] = true;
      }
    }
  }
  for (std::size_t r = 0; r < nodes.size(); ++r)
    for (std::size_t i = 0; i < dim; ++i)
      QUENLITH_VERIFY(known[r * dim + i], "no subfield defines (node {}, component {})", nodes[r], names[i]);

  store::WriteGuard<Coords> guard = store::write(coords);
  // Every node is checked under the write guard before the first write, so a
  // failure leaves the whole configuration as it was.
  for (const NodeId n : nodes) QUENLITH_VERIFY(guard->is_alive(n), "node {} not found or collected", n);
  std::vector<double> xyz(dim);
  for (std::size_t r = 0; r < nodes.size(); ++r) {
    std::copy_n(values.begin() + std::ptrdiff_t(r * dim), dim, xyz.begin());
    if (mode == Write::Add) {
      const std::vector<double> current = guard->coord(nodes[r]);
      for (std::size_t i = 0; i < dim; ++i) xyz[i] += current[i];
    }
    guard->set_coord(nodes[r], xyz);
  }
}

}  // namespace

NodeField coordinates(const containers::mesh::Mesh& mesh, const std::optional<std::vector<std::string>>& components) {
  const store::Handle<Coords> coords = mesh.coords();
  const std::size_t dim = store::read(coords)->dim();
  const std::vector<std::string> names = names_or_default(components, kAxes, dim);
  std::vector<std::size_t> axes;
  axes.reserve(names.size());
  for (const std::string& name : names) {
    const auto a = std::find_if(std::begin(kAxes), std::end(kAxes), [&](const char* x) { return name == x; });
    QUENLITH_VERIFY(a != std::end(kAxes), "coordinates: unknown component \"{}\" (expected X, Y or Z)", name);
    const std::size_t axis = std::size_t(a - std::begin(kAxes));
    QUENLITH_VERIFY(axis < dim, "coordinates: component \"{}\" needs dimension ≥ {}, but the Coords is {}-D", name,
                    axis + 1, dim);
    axes.push_back(axis);
  }
  NodeField out;
  for (const auto& submesh : mesh.subs()) {
    SubNodeField zone = SubNodeField::on_nodes_of(submesh, names);
    {
      store::ReadGuard<Coords> c = store::read(coords);
      const auto zone_nodes = zone.nodes();
      for (std::size_t row = 0; row < zone_nodes.size(); ++row) {
        const std::vector<double> xyz = c->coord(zone_nodes[row]);
        for (std::size_t i = 0; i < axes.size(); ++i) zone.set(row, i, xyz[axes[i]]);
      }
    }
    out.push_sub(store::insert(std::move(zone)));
  }
  return out;
}

void set_coordinates(const NodeField& field, const std::optional<std::vector<std::string>>& components) {
  write_coordinates(field, components, kAxes, Write::Set);
}

void displace(const NodeField& field, const std::optional<std::vector<std::string>>& components) {
  write_coordinates(field, components, kDisplacements, Write::Add);
}

}  // namespace quenlith::ops::field
