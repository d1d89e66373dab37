#pragma once
// The poll handed to long operations. Calling it throws Error::interrupted()
// when the user asked to stop (the binding layer makes it from the interpreter's
// pending-signal check). It must only be called on the thread that made the call
// from Python, never inside a parallel body. An empty check never interrupts.
#include <functional>

namespace quenlith::store {

class InterruptCheck {
 public:
  InterruptCheck() = default;
  explicit InterruptCheck(std::function<bool()> pending) : pending_(std::move(pending)) {}
  // Throws Error::interrupted() when a stop was requested.
  void operator()() const;

 private:
  std::function<bool()> pending_;
};

}  // namespace quenlith::store
