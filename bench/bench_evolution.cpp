// A node-field evolution of 100 steps over a one-million-node zone of three
// components: one interpolation at an inner abscissa (between two samples) and at a
// tabulated one (a copy), on 1 thread and on all threads. Prints milliseconds;
// bench_evolution.py sets them beside numpy's (1 − t)·a + t·b on arrays of the same
// shape.
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "containers/evolution/sub_evolution.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith::containers;
using evolution::EvolutionValue;
using evolution::SubEvolution;
using node_field::SubNodeField;
namespace store = quenlith::store;

constexpr std::uint32_t kNodes = 1'000'000;
constexpr int kSteps = 100;
using quenlith::bench::best_seconds;

volatile double sink;

}  // namespace

int main() {
  std::vector<mesh::NodeId> ids;
  const store::Handle<mesh::Coords> coords = quenlith::bench::line_nodes(kNodes, ids);
  const store::Handle<mesh::SubMesh> support = store::insert(mesh::SubMesh::poi1_from_ids(coords, ids));
  std::vector<evolution::Sample> samples;
  for (int k = 0; k < kSteps; ++k) {
    std::vector<double> values(std::size_t{kNodes} * 3);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = double((i * 2654435761u + k) % 1000003) / 1000003.0;
    samples.push_back({double(k), SubNodeField::create(support, {"ux", "uy", "uz"}, std::move(values))});
  }
  const SubEvolution curve = SubEvolution::create(std::move(samples), evolution::OutOfRange::Error);

  const auto time_at = [&](double x) {
    return best_seconds([&] {
      EvolutionValue v = curve.interpolate(std::nullopt, x);
      sink = std::get<SubNodeField>(v).values()[kNodes];
    });
  };
  double inner_one, exact_one;
  {
    quenlith::parallel::ThreadLimit one_thread(1);
    inner_one = time_at(41.3);
    exact_one = time_at(41.0);
  }
  const double inner_all = time_at(41.3);
  const double exact_all = time_at(41.0);

  std::printf("node-field evolution, %d steps, %u nodes x 3 components (best of %d)\n", kSteps, kNodes,
              quenlith::bench::kRepeats);
  std::printf("  inner_1  %.2f ms\n", inner_one * 1e3);
  std::printf("  inner_all  %.2f ms (%zu threads)\n", inner_all * 1e3, quenlith::parallel::max_threads());
  std::printf("  exact_1  %.2f ms\n", exact_one * 1e3);
  std::printf("  exact_all  %.2f ms\n", exact_all * 1e3);
  return 0;
}
