#pragma once
// `isolated` (pool.hpp) for a callable with a result: f() runs on the calling thread,
// its loops isolated, and its result is handed back.
#include <optional>
#include <type_traits>
#include <utility>

#include "parallel/pool.hpp"

namespace quenlith::parallel {

template <class F>
auto isolated_call(F&& f) {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    isolated([&] { f(); });
  } else {
    std::optional<R> out;
    isolated([&] { out.emplace(f()); });
    return std::move(*out);
  }
}

}  // namespace quenlith::parallel
