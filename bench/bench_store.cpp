// Store hot paths, in ns per operation: insert + release, copy + drop of a handle,
// and a read guard on a resident object from 1 thread and from all threads.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith::store;
using Clock = std::chrono::steady_clock;

struct Item {
  double value = 1.0;
};

}  // namespace

template <>
struct quenlith::store::StoredTypeTraits<Item> {
  static constexpr std::string_view type_path = "bench::Item";
  static constexpr bool writable = true;
  static void encode(const Item& item, RecordWriter& w) { w.write_f64(item.value); }
  static Item decode(RecordReader& r) { return Item{r.read_f64()}; }
};

namespace {

template <class F>
double ns_per_op(long n, F&& body) {
  const auto t0 = Clock::now();
  body(n);
  const auto t1 = Clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(n);
}

// Runs body(n) on `threads` threads started together; ns per operation per thread.
template <class F>
double ns_per_op_threads(int threads, long n, F&& body) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  std::vector<double> times(threads);
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      ++ready;
      while (!go) std::this_thread::yield();
      times[t] = ns_per_op(n, body);
    });
  while (ready < threads) std::this_thread::yield();
  go = true;
  for (auto& th : pool) th.join();
  double worst = 0;
  for (double v : times) worst = std::max(worst, v);
  return worst;
}

}  // namespace

int main() {
  constexpr long kN = 2'000'000;
  double sink = 0;

  const double insert_release = ns_per_op(kN, [&](long n) {
    for (long i = 0; i < n; ++i) {
      Handle<Item> h = insert(Item{static_cast<double>(i)});
      sink += h.idx();
    }
  });

  Handle<Item> h = insert(Item{2.0});
  const double copy_drop = ns_per_op(kN * 5, [&](long n) {
    for (long i = 0; i < n; ++i) {
      Handle<Item> copy = h;
      sink += copy.gen();
    }
  });

  auto guard_body = [&](long n) {
    double local = 0;
    for (long i = 0; i < n; ++i) {
      ReadGuard<Item> g = read(h);
      local += g->value;
    }
    static std::atomic<long> keep{0};
    keep += static_cast<long>(local);
  };
  const double guard_1 = ns_per_op(kN * 5, guard_body);
  const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const double guard_all = ns_per_op_threads(all, kN, guard_body);
  const double copy_all = ns_per_op_threads(all, kN, [&](long n) {
    for (long i = 0; i < n; ++i) {
      Handle<Item> copy = h;
      (void)copy;
    }
  });

  std::printf("insert + release                   %8.1f ns/op\n", insert_release);
  std::printf("handle copy + drop (1 thread)      %8.1f ns/op\n", copy_drop);
  std::printf("handle copy + drop (%2d threads)    %8.1f ns/op per thread\n", all, copy_all);
  std::printf("read guard, resident (1 thread)    %8.1f ns/op\n", guard_1);
  std::printf("read guard, resident (%2d threads)  %8.1f ns/op per thread\n", all, guard_all);
  if (sink < 0) std::printf("%f\n", sink);
  return 0;
}
