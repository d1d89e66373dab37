#include "ops/mesher/transform.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/mesher/chain.hpp"
#include "containers/mesh/node_refs.hpp"
#include "containers/mesh/rewrite.hpp"
#include "ops/mesher/vec3.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::NodeRefs;
using containers::mesh::SubMeshSnapshot;
using containers::mesh::snapshot;
using containers::mesh::finite_points;
using containers::mesh::check_finite;
using containers::mesh::check_new_points;
using containers::mesh::Coords;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

std::size_t dimension(const store::Handle<Coords>& coords) {
  store::ReadGuard<Coords> guard = store::read(coords);
  return guard->dim();
}

// The copy scheme. `move(in, out)` writes the moved point of `in` (dim values).
template <class Move>
Mesh moved_copy(std::string_view op, const Mesh& mesh, const store::Handle<Coords>& coords, Move&& move) {
  // One snapshot per submesh serves both the node list and the cells, so every id
  // the cells name has its copy even if a submesh grows meanwhile.
  std::vector<SubMeshSnapshot> sources;
  sources.reserve(mesh.size());
  std::vector<NodeId> list;
  std::unordered_map<NodeId, NodeId> copy_of;
  for (const auto& sub : mesh.subs()) {
    sources.push_back(snapshot(sub));
    for (const NodeId id : sources.back().connectivity)
      if (copy_of.try_emplace(id, 0).second) list.push_back(id);
  }
  std::size_t dim = 0;
  std::vector<double> points = finite_points(op, coords, list, dim);
  check_node_room(op, fmt::format("copying {} node(s)", list.size()), coords, list.size());
  std::vector<double> moved(dim);
  for (std::size_t start = 0; start < points.size(); start += dim) {
    move(std::span<const double>(points.data() + start, dim), std::span<double>(moved));
    std::copy(moved.begin(), moved.end(), points.begin() + static_cast<std::ptrdiff_t>(start));
  }
  // Finite nodes moved far enough overflow (a translation by 1e308 of a node at
  // 1e308): refused before any copy is made.
  check_new_points(op, points, dim);
  // The copies stay held by this list until their cells hold them, so that no
  // collection of the Coords can take them in between.
  NodeRefs copies(coords);
  copies.reserve(list.size());
  copies.create(points);
  for (std::size_t i = 0; i < list.size(); ++i) copy_of[list[i]] = copies[i];

  Mesh out;
  std::vector<NodeId> cells;
  for (const SubMeshSnapshot& source : sources) {
    SubMesh sub(source.element_type, coords);
    sub.set_face_color(source.face_color);
    cells.resize(source.connectivity.size());
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = copy_of.find(source.connectivity[i])->second;
    sub.add_cells(cells);
    out.push_sub(store::insert(std::move(sub)));
  }
  return out;
}

// axis / |axis| with |axis| = sqrt((a_x² + a_y²) + a_z²); an axis whose squares
// overflow or underflow is first divided by its largest component, so that any
// finite non-zero axis gives a unit vector.
Vec3 unit_axis(const Vec3& a) {
  const double squares = (a[0] * a[0] + a[1] * a[1]) + a[2] * a[2];
  if (std::isfinite(squares) && squares >= DBL_MIN) return divided(a, std::sqrt(squares));
  const double largest = std::max({std::abs(a[0]), std::abs(a[1]), std::abs(a[2])});
  const Vec3 s = divided(a, largest);
  return divided(s, std::sqrt((s[0] * s[0] + s[1] * s[1]) + s[2] * s[2]));
}

}  // namespace

Mesh translate(const Mesh& mesh, std::span<const double> vector) {
  const store::Handle<Coords> coords = mesh.coords();
  const std::size_t dim = dimension(coords);
  QUENLITH_VERIFY(vector.size() == dim, "translate: vector has {} components but the mesh is {}-D", vector.size(),
                  dim);
  check_finite("translate", "vector", vector);
  return moved_copy("translate", mesh, coords, [&](std::span<const double> x, std::span<double> out) {
    for (std::size_t k = 0; k < dim; ++k) out[k] = x[k] + vector[k];
  });
}

Mesh rotate(const Mesh& mesh, std::span<const double> center, const std::optional<std::vector<double>>& axis,
            double angle) {
  const store::Handle<Coords> coords = mesh.coords();
  const std::size_t dim = dimension(coords);
  QUENLITH_VERIFY(center.size() == dim, "rotate: center has {} components but the mesh is {}-D", center.size(), dim);
  check_finite("rotate", "center", center);
  check_finite("rotate", "angle", std::span<const double>(&angle, 1));
  const double s = std::sin(angle);
  const double c = std::cos(angle);
  if (dim == 2) {
    const double cx = center[0];
    const double cy = center[1];
    return moved_copy("rotate", mesh, coords, [&](std::span<const double> p, std::span<double> out) {
      const double dx = p[0] - cx;
      const double dy = p[1] - cy;
      out[0] = (dx * c + cx) - dy * s;
      out[1] = dy * c + (dx * s + cy);
    });
  }
  QUENLITH_VERIFY(dim == 3, "rotate: only 2-D and 3-D meshes are supported (got {}-D)", dim);
  QUENLITH_VERIFY(axis.has_value(), "rotate: a 3-D mesh needs a rotation axis");
  QUENLITH_VERIFY(axis->size() == 3, "rotate: axis has {} components but must be 3-D", axis->size());
  check_finite("rotate", "axis", *axis);
  const Vec3 a{(*axis)[0], (*axis)[1], (*axis)[2]};
  QUENLITH_VERIFY(a[0] != 0.0 || a[1] != 0.0 || a[2] != 0.0, "rotate: axis must be non-zero");
  const Vec3 k = unit_axis(a);
  const Vec3 c0{center[0], center[1], center[2]};
  return moved_copy("rotate", mesh, coords, [&](std::span<const double> p, std::span<double> out) {
    const Vec3 w{p[0] - c0[0], p[1] - c0[1], p[2] - c0[2]};
    const double kw = (k[0] * w[0] + k[1] * w[1]) + k[2] * w[2];
    const Vec3 kxw = cross(k, w);
    const double along = (1 - c) * kw;
    for (std::size_t i = 0; i < 3; ++i) out[i] = along * k[i] + (s * kxw[i] + (c0[i] + c * w[i]));
  });
}

}  // namespace quenlith::ops::mesher
