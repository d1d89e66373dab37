#pragma once
// ClassOf<T>::type: the Python class whose objects hold a T, so that a body may
// return any core value a class holds and get its Python object. py/classes.hpp
// defines it over the list of the module's classes.
#include <type_traits>

namespace quenlith::py {

template <class T>
struct ClassOf;

// The first of `Cs` whose Payload is T; no `type` when there is none.
template <class T, class... Cs>
struct ClassWithPayload {};
template <class T, class C, class... Cs>
struct ClassWithPayload<T, C, Cs...>
    : std::conditional_t<std::is_same_v<T, typename C::Payload>, std::type_identity<C>, ClassWithPayload<T, Cs...>> {};

}  // namespace quenlith::py
