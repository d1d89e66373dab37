#pragma once
// Helpers shared by the C++ unit tests.
#include <functional>
#include <string>

#include "base/error.hpp"
#include "containers/finite_element_space/interpolation.hpp"
#include "containers/mesh/element_type.hpp"

namespace quenlith::testing {

// The display text of the core error `f` throws, or "<no error>".
inline std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.text();
  }
  return "<no error>";
}

// The interpolation a cell type is made for: degree 1 on linear types, 2 on quadratic ones.
inline containers::finite_element_space::Interpolation interpolation_of(containers::mesh::ElementType t) {
  using containers::finite_element_space::Interpolation;
  return fits(Interpolation::LAGRANGE1, t) ? Interpolation::LAGRANGE1 : Interpolation::LAGRANGE2;
}

}  // namespace quenlith::testing
