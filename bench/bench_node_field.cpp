// Node fields on a one-million-node POI1 support with three components: making the
// zone, reading one component at every node, the DOF-list round trip the solvers
// use (field -> values -> field, the DOFs node by node as the solvers list them),
// and reading / writing by row. Prints rows per second, and the round trip against
// a memcpy of the same value bytes (1 thread).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_support.hpp"
#include "containers/field/dof.hpp"
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

constexpr std::uint32_t kNodes = 1'000'000;
using quenlith::bench::best_seconds;
using quenlith::bench::kRepeats;

volatile double sink;

}  // namespace

int main() {
  quenlith::parallel::ThreadLimit one_thread(1);
  std::vector<mesh::NodeId> ids;
  store::Handle<mesh::Coords> coords = quenlith::bench::line_nodes(kNodes, ids);
  const std::vector<std::string> names = {"ux", "uy", "uz"};

  NodeField field;
  const double t_create = best_seconds([&] {
    mesh::Mesh m = mesh::Mesh::from_submesh(mesh::SubMesh::poi1_from_ids(coords, ids));
    field = NodeField::create(m, names);
  }, [&] { field = NodeField(); });

  std::vector<double> got;
  const double t_values = best_seconds([&] { got = field.values_at(ids, "uy"); });

  field::DofList dofs;
  dofs.reserve(std::size_t{kNodes} * 3);
  for (mesh::NodeId id : ids)
    for (const auto& n : names) dofs.push(id, n);
  // Field -> values into the solver's vector, values -> a new field.
  std::vector<double> vec(dofs.size());
  const double t_read = best_seconds([&] { field.dof_values(dofs, vec); });
  // The solver hands its vector over; a caller that keeps it pays one copy.
  NodeField back;
  std::vector<double> handed;
  const double t_write = best_seconds([&] { back = NodeField::from_dof_values(coords, dofs, std::move(handed)); },
                                      [&] {
                                        back = NodeField();
                                        handed = vec;
                                      });
  const double t_write_copy = best_seconds([&] { back = NodeField::from_dof_values(coords, dofs, vec); },
                                           [&] { back = NodeField(); });

  // The same bytes copied into an existing buffer, and into a new one.
  std::vector<double> src(vec.size(), 1.0), dst(vec.size());
  const double t_memcpy = best_seconds([&] {
    std::memcpy(dst.data(), src.data(), src.size() * sizeof(double));
    sink = dst[dst.size() / 2];
  });
  const double t_memcpy_new = best_seconds([&] {
    std::unique_ptr<double[]> fresh(new double[src.size()]);
    std::memcpy(fresh.get(), src.data(), src.size() * sizeof(double));
    sink = fresh[src.size() / 2];
  });

  store::Handle<SubNodeField> zone = field.subs()[0];
  const double t_get = best_seconds([&] {
    store::ReadGuard<SubNodeField> g = store::read(zone);
    double s = 0.0;
    for (std::uint64_t r = 0; r < kNodes; ++r) s += g->get(r, 1);
    sink = s;
  });
  const double t_set = best_seconds([&] {
    store::WriteGuard<SubNodeField> g = store::write(zone);
    for (std::uint64_t r = 0; r < kNodes; ++r) g->set(r, 2, double(r));
  });

  const double n = kNodes;
  std::printf("node field, %u nodes x 3 components, 1 thread (best of %d)\n", kNodes, kRepeats);
  std::printf("  create (support + zone)   %8.1f ms  %7.1f M rows/s\n", t_create * 1e3, n / t_create / 1e6);
  std::printf("  values (one component)    %8.1f ms  %7.1f M rows/s\n", t_values * 1e3, n / t_values / 1e6);
  std::printf("  memcpy of the values       %8.1f ms into a buffer, %.1f ms into a new one\n", t_memcpy * 1e3,
              t_memcpy_new * 1e3);
  std::printf("  dof_values (into vector)  %8.1f ms  %7.1f M rows/s  %.2fx memcpy\n", t_read * 1e3,
              n / t_read / 1e6, t_read / t_memcpy);
  std::printf("  from_dof_values (handed)  %8.1f ms  %7.1f M rows/s  %.2fx memcpy to a new buffer\n",
              t_write * 1e3, n / t_write / 1e6, t_write / t_memcpy_new);
  std::printf("  from_dof_values (copied)  %8.1f ms  %7.1f M rows/s  %.2fx memcpy to a new buffer\n",
              t_write_copy * 1e3, n / t_write_copy / 1e6, t_write_copy / t_memcpy_new);
  std::printf("  round trip                %8.1f ms  %.2fx the two memcpy (%.2fx with the copy)\n",
              (t_read + t_write) * 1e3, (t_read + t_write) / (t_memcpy + t_memcpy_new),
              (t_read + t_write_copy) / (t_memcpy + t_memcpy_new));
  std::printf("  get by row                %8.1f ms  %7.1f M rows/s\n", t_get * 1e3, n / t_get / 1e6);
  std::printf("  set by row                %8.1f ms  %7.1f M rows/s\n", t_set * 1e3, n / t_set / 1e6);
  return back.dof_values(dofs) == vec ? 0 : 1;
}
