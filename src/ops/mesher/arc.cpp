#include "ops/mesher/arc.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "dump/number_format.hpp"
#include "ops/mesher/chain.hpp"
#include "ops/mesher/vec3.hpp"
#include "base/error.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;

Mesh arc(const Node& a, const Node& center, const Node& b, std::uint64_t n_elems, ElementType type) {
  QUENLITH_VERIFY(type == ElementType::SEG2 || type == ElementType::SEG3,
                  "arc: unsupported element type {} (expected SEG2 or SEG3)", type);
  QUENLITH_VERIFY(n_elems >= 1, "arc: n_elems must be ≥ 1");
  QUENLITH_VERIFY(a.handle() == center.handle() && b.handle() == center.handle(),
                  "arc: nodeA, center and nodeB belong to different Coords");
  const std::vector<double> pa = a.coord();
  const std::vector<double> pc = center.coord();
  const std::vector<double> pb = b.coord();
  QUENLITH_VERIFY(pc.size() == pa.size() && pb.size() == pa.size(), "arc: nodes have incompatible dimensions");
  const std::size_t dim = pa.size();
  QUENLITH_VERIFY(dim == 2 || dim == 3, "arc: node dimension must be 2 or 3");

  const Vec3 c0 = to_vec3(pc);
  const Vec3 ra = sub(to_vec3(pa), c0);
  const Vec3 rb = sub(to_vec3(pb), c0);
  const double radius_a = norm(ra);
  const double radius_b = norm(rb);
  QUENLITH_VERIFY(!(radius_a < 1e-12 || radius_b < 1e-12), "arc: nodeA and nodeB must not coincide with center");
  if (std::abs(radius_a - radius_b) > 1e-9 * std::max(radius_a, radius_b))
    throw Error::message("arc: nodeA and nodeB are not equidistant from center (radii {} and {})",
                                dump::plain_number(radius_a), dump::plain_number(radius_b));
  const Vec3 c = cross(ra, rb);
  const double c_len = norm(c);
  QUENLITH_VERIFY(!(1e-9 * radius_a * radius_b > c_len),
                  "arc: nodeA, center and nodeB are colinear (arc plane is undefined)");
  check_node_room("arc", a.handle(), n_elems, chain_node_count(n_elems - 1, n_elems, type));

  const Vec3 e1 = divided(ra, radius_a);
  const Vec3 n = divided(c, c_len);
  const Vec3 e2 = cross(n, e1);
  const double theta = std::acos(std::clamp(dot(ra, rb) / (radius_b * radius_a), -1.0, 1.0));

  std::vector<Node> chain;
  chain.reserve(n_elems + 1);
  chain.push_back(Node::acquire(a.handle(), a.id()));
  std::vector<double> p(dim);
  for (std::uint64_t i = 1; i < n_elems; ++i) {
    const double phi = (static_cast<double>(i) / static_cast<double>(n_elems)) * theta;
    circle_point(c0, radius_a, e1, e2, phi, p);
    chain.push_back(Node::create(a.handle(), p));
  }
  chain.push_back(Node::acquire(b.handle(), b.id()));
  return chain_mesh(chain, false, type);
}

}  // namespace quenlith::ops::mesher
