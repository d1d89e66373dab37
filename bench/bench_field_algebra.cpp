// Field algebra on a one-million-node POI1 support with three components: a + b,
// a * 2.0, a.min("ux") and xtx, with 1 thread and with every thread. Prints the best
// time of each (bench/bench_field_algebra.py sets them beside numpy).
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "containers/field/algebra.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith::containers;
using node_field::NodeField;
using node_field::SubNodeField;
namespace store = quenlith::store;
namespace algebra = quenlith::containers::field;

constexpr std::uint32_t kNodes = 1'000'000;
using quenlith::bench::best_seconds;

volatile double sink;

// Deterministic values in [0, 1), the same formula as the Python side.
NodeField make_field(const store::Handle<mesh::SubMesh>& support, std::uint64_t salt) {
  std::vector<double> values(std::size_t{kNodes} * 3);
  for (std::uint64_t i = 0; i < values.size(); ++i)
    values[i] = double(((i + salt) * 2654435761ULL) % 1000003ULL) / 1000003.0;
  NodeField f;
  f.push_sub(store::insert(SubNodeField::create(support, {"ux", "uy", "uz"}, std::move(values))));
  return f;
}

void run(const char* label, const NodeField& a, const NodeField& b) {
  NodeField out;
  const double t_add = best_seconds([&] { out = algebra::binary_op(a, b, algebra::FieldOp::Add); },
                                    [&] { out = NodeField(); });
  const double t_mul = best_seconds([&] { out = algebra::scalar_op(a, algebra::FieldOp::Mul, 2.0); },
                                    [&] { out = NodeField(); });
  const double t_min = best_seconds([&] { sink = algebra::extremum(a, "ux", algebra::Extremum::Min); });
  const double t_xtx = best_seconds([&] { sink = algebra::xtx(a); });
  std::printf("%s\n", label);
  std::printf("  add  %.3f ms\n  mul  %.3f ms\n  min  %.3f ms\n  xtx  %.3f ms\n", t_add * 1e3, t_mul * 1e3,
              t_min * 1e3, t_xtx * 1e3);
}

}  // namespace

int main() {
  std::vector<mesh::NodeId> ids;
  store::Handle<mesh::Coords> coords = quenlith::bench::line_nodes(kNodes, ids);
  const store::Handle<mesh::SubMesh> support = store::insert(mesh::SubMesh::poi1_from_ids(coords, ids));
  const NodeField a = make_field(support, 0), b = make_field(support, 7);
  std::printf("%u nodes x 3 components\n", kNodes);
  {
    quenlith::parallel::ThreadLimit one(1);
    run("threads 1", a, b);
  }
  std::printf("(pool of %zu threads)\n", quenlith::parallel::max_threads());
  run("threads all", a, b);
}
