#include "store/interrupt.hpp"

#include "store/error.hpp"

namespace quenlith::store {

void InterruptCheck::operator()() const {
  if (pending_ && pending_()) throw Error::interrupted();
}

}  // namespace quenlith::store
