#include "store/interrupt.hpp"

#include "base/error.hpp"

namespace quenlith::store {

void InterruptCheck::operator()() const {
  if (pending_ && pending_()) throw Error::interrupted();
}

}  // namespace quenlith::store
