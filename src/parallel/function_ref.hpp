#pragma once
// A non-owning reference to a callable, for the bodies of parallel loops.
//
// A FunctionRef does not own or copy what it refers to: the callable must outlive
// every call made through the reference. Loop bodies are lambdas living on the
// caller's stack for the whole loop, which is exactly the lifetime needed, and the
// loop layer can then take them without a template (so TBB stays in its .cpp) and
// without the allocation of a std::function. The indirect call is made once per
// chunk, not once per item, so its cost is negligible.
#include <memory>
#include <type_traits>
#include <utility>

namespace quenlith::parallel {

template <class Fn>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor): lambdas convert implicitly
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::add_pointer_t<std::remove_reference_t<F>>>(object))(
              std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace quenlith::parallel
