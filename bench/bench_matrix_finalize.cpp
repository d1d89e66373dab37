// Times Matrix::finalize (blocks to compressed rows) on the triplets of a 3-D
// elasticity-like operator: P1 tetrahedra (Kuhn split of a periodic hexahedral grid),
// 3 displacement components per node, one 12 x 12 element matrix per tetrahedron,
// emitted element by element into one literal block. Prints the time with every
// thread and with one, the peak of memory allocated during the call, and checksums
// of the result that bench_matrix_finalize.py compares with scipy's.
//
//   bench_matrix_finalize [nx ny nz n_tets]     (default 50 50 40 208333: 30 M triplets)
#include <errno.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "containers/matrix/matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"

// Every allocation of the process counted (malloc and friends interposed, so the
// compressed rows' own realloc'd arrays count too), to report the peak a call adds.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<long long> g_current{0};
std::atomic<long long> g_peak{0};

void note(long long delta) {
  const long long now = g_current.fetch_add(delta) + delta;
  long long peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}
long long usable(void* p) { return p ? static_cast<long long>(malloc_usable_size(p)) : 0; }
}  // namespace

extern "C" {
void* malloc(std::size_t n) {
  void* p = __libc_malloc(n);
  note(usable(p));
  return p;
}
void* calloc(std::size_t a, std::size_t b) {
  void* p = __libc_calloc(a, b);
  note(usable(p));
  return p;
}
void* realloc(void* p, std::size_t n) {
  const long long old = usable(p);
  void* q = __libc_realloc(p, n);
  if (q || n == 0) note(usable(q) - old);
  return q;
}
void* memalign(std::size_t align, std::size_t n) {
  void* p = __libc_memalign(align, n);
  note(usable(p));
  return p;
}
void* aligned_alloc(std::size_t align, std::size_t n) { return memalign(align, n); }
int posix_memalign(void** out, std::size_t align, std::size_t n) {
  *out = memalign(align, n);
  return *out || n == 0 ? 0 : ENOMEM;
}
void free(void* p) {
  note(-usable(p));
  __libc_free(p);
}
}

namespace {

namespace store = quenlith::store;
namespace parallel = quenlith::parallel;
using namespace quenlith::containers::matrix;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::NodeId;
using quenlith::containers::mesh::SubMesh;

// The i-th of the 6 Kuhn tetrahedra of the cube at (x, y, z) of a periodic grid.
void kuhn_tet(long nx, long ny, long nz, long cube, int which, long out[4]) {
  static const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  long p[3] = {cube % nx, (cube / nx) % ny, cube / (nx * ny)};
  const long n[3] = {nx, ny, nz};
  auto id = [&](const long q[3]) { return (q[0] % n[0]) + n[0] * ((q[1] % n[1]) + n[1] * (q[2] % n[2])); };
  out[0] = id(p);
  for (int s = 0; s < 3; ++s) {
    ++p[perms[which][s]];
    out[s + 1] = id(p);
  }
}

CooMatrix elasticity_like(long nx, long ny, long nz, long n_tets) {
  const long cubes = nx * ny * nz;
  CooMatrix coo;
  coo.nrows = coo.ncols = static_cast<std::uint64_t>(3 * cubes);
  coo.rows.reserve(144 * n_tets);
  coo.cols.reserve(144 * n_tets);
  coo.values.reserve(144 * n_tets);
  for (long t = 0; t < n_tets; ++t) {
    long nodes[4];
    kuhn_tet(nx, ny, nz, t % cubes, static_cast<int>(t / cubes), nodes);
    for (int i = 0; i < 12; ++i)
      for (int j = 0; j < 12; ++j) {
        coo.rows.push_back(static_cast<std::uint32_t>(3 * nodes[i / 3] + i % 3));
        coo.cols.push_back(static_cast<std::uint32_t>(3 * nodes[j / 3] + j % 3));
        coo.values.push_back(static_cast<double>((t * 131 + i * 12 + j) % 1000 - 500) / 8.0);
      }
  }
  return coo;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long nx = argc > 4 ? std::atol(argv[1]) : 50;
  const long ny = argc > 4 ? std::atol(argv[2]) : 50;
  const long nz = argc > 4 ? std::atol(argv[3]) : 40;
  const long n_tets = argc > 4 ? std::atol(argv[4]) : 208333;
  const long n_nodes = nx * ny * nz;

  store::Handle<Coords> coords = store::insert(Coords(3));
  {
    store::WriteGuard<Coords> g = store::write(coords);
    for (long i = 0; i < n_nodes; ++i) {
      const double x[] = {double(i % nx), double((i / nx) % ny), double(i / (nx * ny))};
      g->add_node(x);
    }
  }
  std::vector<NodeId> ids(n_nodes);
  for (long i = 0; i < n_nodes; ++i) ids[i] = static_cast<NodeId>(i);
  const store::Handle<SubMesh> support = store::insert(SubMesh::poi1_from_ids(coords, ids));
  CooMatrix coo = elasticity_like(nx, ny, nz, n_tets);
  const std::uint64_t n_triplets = coo.size();
  const store::Handle<SubMatrix> block = store::insert(SubMatrix::from_coo(
      support, support, {"u_x", "u_y", "u_z"}, {"u_x", "u_y", "u_z"}, Ordering::NodesThenVars, true, std::move(coo)));

  auto run = [&](std::size_t threads, double& best, long long& peak, Matrix& keep) {
    best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
      Matrix m;
      m.push_sub(block);
      const long long before = g_current.load();
      g_peak.store(before);
      const auto t0 = std::chrono::steady_clock::now();
      {
        parallel::ThreadLimit limit(threads);
        m.finalize();
      }
      best = std::min(best, seconds_since(t0));
      peak = g_peak.load() - before;
      if (rep == 2) keep = std::move(m);
    }
  };
  double t_all = 0, t_one = 0;
  long long peak_all = 0, peak_one = 0;
  Matrix result;
  Matrix result_one;
  run(parallel::max_threads(), t_all, peak_all, result);
  run(1, t_one, peak_one, result_one);

  const Csr& csr = result.finalized()->csr;
  long double weighted = 0;
  unsigned long long index_sum = 0;
  for (std::uint64_t k = 0; k < csr.nnz(); ++k) {
    weighted += static_cast<long double>(csr.values[k]) * static_cast<long double>((k % 7) + 1);
    index_sum += csr.col(k);
  }
  const bool same = csr.values == result_one.finalized()->csr.values;
  std::printf("dofs %llu  triplets %llu  nnz %llu  32-bit columns %s\n",
              static_cast<unsigned long long>(csr.n_rows), static_cast<unsigned long long>(n_triplets),
              static_cast<unsigned long long>(csr.nnz()), csr.cols.index() == 0 ? "yes" : "no");
  std::printf("finalize, %zu threads: %.3f s   peak added %.1f MB\n", parallel::max_threads(), t_all, peak_all / 1e6);
  std::printf("finalize, 1 thread:  %.3f s   peak added %.1f MB   same bits as all threads: %s\n", t_one,
              peak_one / 1e6, same ? "yes" : "NO");
  std::printf("checksum nnz=%llu index_sum=%llu weighted=%.10Le\n", static_cast<unsigned long long>(csr.nnz()),
              index_sum, weighted);
  return same ? 0 : 1;
}
