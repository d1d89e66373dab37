#include "ops/mesher/circle.hpp"

#include <cmath>
#include <vector>

#include "ops/mesher/chain.hpp"
#include "ops/mesher/vec3.hpp"
#include "base/error.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;

PlaneBasis circle_plane_basis(const Vec3& n) {
  const double ax = std::abs(n[0]);
  const double ay = std::abs(n[1]);
  const double az = std::abs(n[2]);
  const std::size_t axis = (ax <= ay && ax <= az) ? 0 : (ay <= az ? 1 : 2);
  Vec3 t{0.0, 0.0, 0.0};
  t[axis] = 1.0;
  const Vec3 u = sub(t, scaled(n, dot(t, n)));
  const Vec3 e1 = divided(u, norm(u));
  return PlaneBasis{e1, cross(n, e1)};
}

Mesh circle(const Node& center, std::span<const double> normal, double radius, std::uint64_t n_elems,
            ElementType type) {
  QUENLITH_VERIFY(type == ElementType::SEG2 || type == ElementType::SEG3,
                  "circle: unsupported element type {} (expected SEG2 or SEG3)", type);
  QUENLITH_VERIFY(n_elems >= 3, "circle: n_elems must be ≥ 3");
  // Written so that NaN is refused too.
  QUENLITH_VERIFY(radius > 0.0, "circle: radius must be > 0");
  QUENLITH_VERIFY(normal.size() == 3, "circle: normal must have exactly 3 components");
  const std::vector<double> pc = center.coord();
  const std::size_t dim = pc.size();
  QUENLITH_VERIFY(dim == 2 || dim == 3, "circle: node dimension must be 2 or 3");
  const Vec3 normal3{normal[0], normal[1], normal[2]};
  const double length = norm(normal3);
  QUENLITH_VERIFY(!(length < 1e-15), "circle: normal vector must not be zero");
  check_node_room("circle", center.handle(), n_elems, chain_node_count(n_elems, n_elems, type));

  const PlaneBasis basis = circle_plane_basis(divided(normal3, length));
  const Vec3 c0 = to_vec3(pc);
  std::vector<Node> ring;
  ring.reserve(n_elems);
  std::vector<double> p(dim);
  for (std::uint64_t i = 0; i < n_elems; ++i) {
    const double phi = (static_cast<double>(i) * 6.283185307179586) / static_cast<double>(n_elems);
    circle_point(c0, radius, basis.e1, basis.e2, phi, p);
    ring.push_back(Node::create(center.handle(), p));
  }
  return chain_mesh(ring, true, type);
}

}  // namespace quenlith::ops::mesher
