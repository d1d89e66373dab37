#include "ops/mesher/line.hpp"

#include <vector>

#include "ops/mesher/chain.hpp"
#include "base/error.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;

Mesh line(const Node& a, const Node& b, std::uint64_t n_elems, ElementType type) {
  QUENLITH_VERIFY(type == ElementType::SEG2 || type == ElementType::SEG3,
                  "line: unsupported element type {} (expected SEG2 or SEG3)", type);
  QUENLITH_VERIFY(n_elems >= 1, "line: n_elems must be ≥ 1");
  QUENLITH_VERIFY(a.handle() == b.handle(), "line: nodes belong to different Coords");
  const std::vector<double> pa = a.coord();
  const std::vector<double> pb = b.coord();
  QUENLITH_VERIFY(pa.size() == pb.size(), "line: nodes have incompatible dimensions");
  check_node_room("line", a.handle(), n_elems, chain_node_count(n_elems - 1, n_elems, type));

  std::vector<Node> chain;
  chain.reserve(n_elems + 1);
  chain.push_back(Node::acquire(a.handle(), a.id()));
  const double n = static_cast<double>(n_elems);
  std::vector<double> p(pa.size());
  for (std::uint64_t i = 1; i < n_elems; ++i) {
    const double t = static_cast<double>(i) / n;
    for (std::size_t k = 0; k < p.size(); ++k) p[k] = (pb[k] - pa[k]) * t + pa[k];
    chain.push_back(Node::create(a.handle(), p));
  }
  chain.push_back(Node::acquire(b.handle(), b.id()));
  return chain_mesh(chain, false, type);
}

}  // namespace quenlith::ops::mesher
