#pragma once
// Helpers shared by the C++ unit tests.
#include <functional>
#include <string>

#include "store/error.hpp"

namespace quenlith::testing {

// The display text of the core error `f` throws, or "<no error>".
inline std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const store::Error& e) {
    return e.text();
  }
  return "<no error>";
}

}  // namespace quenlith::testing
