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

void select_kernels() {
  if (!openblas_get_corename || !gotoblas_dynamic_init || !gotoblas_dynamic_quit) return;
  if (std::getenv("OPENBLAS_CORETYPE")) return;  // the user's choice stands
  const char* current = openblas_get_corename();
  if (!current || std::strcmp(current, "Prescott") != 0) return;  // a model OpenBLAS knows
  const char* better = kernels_for_this_processor();
  if (!better) return;
  // The library reads its choice from the environment when it initialises; run that
  // again with the choice set, then leave the environment as it was. This happens
  // once, before the solver first calls the library.
  setenv("OPENBLAS_CORETYPE", better, 1);
  gotoblas_dynamic_quit();
  gotoblas_dynamic_init();
  unsetenv("OPENBLAS_CORETYPE");
}

}  // namespace

void prepare_blas() {
  static std::once_flag kernels;
  std::call_once(kernels, select_kernels);
  if (openblas_set_num_threads)
    openblas_set_num_threads(static_cast<int>(std::min<parallel::Index>(parallel::max_threads(), INT_MAX)));
}

const char* blas_kernels() noexcept {
  if (!openblas_get_corename) return "";
  const char* name = openblas_get_corename();
  return name ? name : "";
}

}  // namespace quenlith::ops::solver
