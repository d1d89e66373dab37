#include "ops/solver/blas.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "parallel/pool.hpp"

// OpenBLAS's own controls, declared weak: another BLAS lacks them, and they are then
// null. The two dynamic-architecture entry points exist in builds that carry every
// kernel set (Debian's), which choose one when the library loads.
extern "C" {
void openblas_set_num_threads(int) __attribute__((weak));
char* openblas_get_corename(void) __attribute__((weak));
void gotoblas_dynamic_init(void) __attribute__((weak));
void gotoblas_dynamic_quit(void) __attribute__((weak));
void openblas_read_env(void) __attribute__((weak));
void blas_thread_shutdown_(void) __attribute__((weak));
}

namespace quenlith::ops::solver {

namespace {

// The kernel set OpenBLAS should take on this processor, by the instruction sets it
// needs, or nothing when its generic kernels are the best it has.
const char* kernels_for_this_processor() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512cd") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
    return "SkylakeX";
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "Haswell";
  if (__builtin_cpu_supports("avx")) return "Sandybridge";
  return nullptr;
}

// Runs `reload` with the environment variable `name` set to `value` for the call
// only: OpenBLAS reads its settings from the environment when it initialises.
template <class F>
void with_setting(const char* name, const char* value, F reload) {
  setenv(name, value, 1);
  reload();
  unsetenv(name);
}

void select_kernels() {
  if (!openblas_get_corename || !gotoblas_dynamic_init || !gotoblas_dynamic_quit) return;
  if (std::getenv("OPENBLAS_CORETYPE")) return;  // the user's choice stands
  const char* current = openblas_get_corename();
  if (!current || std::strcmp(current, "Prescott") != 0) return;  // a model OpenBLAS knows
  const char* better = kernels_for_this_processor();
  if (!better) return;
  with_setting("OPENBLAS_CORETYPE", better, [] {
    gotoblas_dynamic_quit();
    gotoblas_dynamic_init();
  });
}

// Idle OpenBLAS threads spin 2^28 cycles (a tenth of a second) before they sleep, and
// between two BLAS calls of a factorisation they are idle: on a machine whose other
// processes keep every core busy, they take the processor from the one thread that
// has work, and a 101 k-unknown factorisation went from 8 s to 35–50 s. Told to
// spin 2^4 cycles, they sleep at once and are woken for the next parallel call
// (measured beside that load: 12–19 s; on one thread, 12–14 s). The threads started
// with the old setting are stopped; the next parallel call starts new ones.
void let_idle_threads_sleep() {
  if (!openblas_read_env || !blas_thread_shutdown_) return;
  if (std::getenv("OPENBLAS_THREAD_TIMEOUT")) return;  // the user's choice stands
  with_setting("OPENBLAS_THREAD_TIMEOUT", "4", [] { openblas_read_env(); });
  blas_thread_shutdown_();
}

void configure_library() {
  // Both happen once, before the solver first calls the library, and leave the
  // environment as it was.
  select_kernels();
  let_idle_threads_sleep();
}

}  // namespace

void prepare_blas() {
  static std::once_flag configured;
  std::call_once(configured, configure_library);
  if (openblas_set_num_threads)
    openblas_set_num_threads(static_cast<int>(std::min<parallel::Index>(parallel::max_threads(), INT_MAX)));
}

const char* blas_kernels() noexcept {
  if (!openblas_get_corename) return "";
  const char* name = openblas_get_corename();
  return name ? name : "";
}

}  // namespace quenlith::ops::solver
