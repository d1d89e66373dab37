#pragma once
// The dense kernels under the sparse direct solver: the BLAS that MUMPS calls
// (OpenBLAS on Debian), set up before every phase that calls it.
//
// Threads. OpenBLAS keeps its own pool beside the module's, sized by default to
// every processor of the machine, and its idle threads spin for a while before they
// sleep. Left so, it runs as many threads as the machine has cores beside any other
// load, and the factorisation's own thread loses its processor to spinning ones.
// Its thread count is therefore set to the module pool's size (the processors the
// process may run on, or less under a ThreadLimit) before each phase, and its idle
// threads are told to sleep at once (OPENBLAS_THREAD_TIMEOUT, unless already set). The count is
// part of the result: OpenBLAS's threaded kernels split their sums by thread, so the
// same count gives the same bits and another count may not.
//
// Kernels. OpenBLAS picks its kernels by processor model; a model it does not know
// falls back to its generic SSE3 kernels (its "Prescott" core), several times slower
// on a processor with AVX2 or AVX-512. When that fallback was taken and the
// processor offers those instruction sets, the matching kernels are selected once,
// before the first use, unless OPENBLAS_CORETYPE already says which to use.
//
// Everything here is a no-op when the BLAS linked is not OpenBLAS.
namespace quenlith::ops::solver {

// Selects the kernels and the idle threads' behaviour (once per process) and sets
// the thread count. Called on the
// calling thread before each analysis, factorisation and solve phase.
void prepare_blas();

// The kernel set OpenBLAS uses ("SkylakeX", "Haswell", "Prescott"…), or "" when the
// BLAS is not OpenBLAS. For benchmarks.
const char* blas_kernels() noexcept;

}  // namespace quenlith::ops::solver
