#include "containers/sub_list.hpp"

namespace quenlith::containers {

Error not_unitary_error(std::string_view container, std::string_view items, std::uint64_t count) {
  return Error::message("expected a unitary {} (exactly one {}), found {}", container, items, count);
}

}  // namespace quenlith::containers
