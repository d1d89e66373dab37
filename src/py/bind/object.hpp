#pragma once
// Python objects of the module's classes: a hold counter and one C++ payload
// (a store handle, a container's list of handles, a view). The interpreter's
// allocator zeroes memory but runs no constructor, so the payload is built with
// construct_at after allocation and destroyed in dealloc. Classes use these
// through the kit (py/bind/class.hpp).
//
// Our objects hold store handles and no Python references, so they need no GC support.
#include <Python.h>

#include <memory>
#include <string_view>
#include <utility>

#include "py/bind/convert.hpp"
#include "py/bind/hold.hpp"
#include "py/bind/ref.hpp"
#include "py/bind/type.hpp"

namespace quenlith::py {

template <class Payload>
struct Object : ObjectBase {
  Payload payload;
};

template <class Payload>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&static_cast<Object<Payload>*>(reinterpret_cast<ObjectBase*>(self))->payload);
  type->tp_free(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

// A new object of the cached type holding `payload`.
template <class Payload>
Ref wrap(TypeCache& type_cache, Payload&& payload) {
  PyTypeObject* type = type_cache.get();
  PyObject* raw = check(type->tp_alloc(type, 0));
  auto* obj = static_cast<Object<Payload>*>(reinterpret_cast<ObjectBase*>(raw));
  std::construct_at(&obj->hold);
  try {
    std::construct_at(&obj->payload, std::forward<Payload>(payload));
  } catch (...) {
    // The payload was never built: free the memory without running dealloc.
    type->tp_free(raw);
    Py_DECREF(type);
    throw;
  }
  return Ref::steal(raw);
}

template <class Payload>
Object<Payload>* object_cast(PyObject* obj) noexcept {
  return static_cast<Object<Payload>*>(reinterpret_cast<ObjectBase*>(obj));
}

// The instance behind `obj`, or nullptr when it is not one of `type_cache`'s type.
template <class Payload>
Object<Payload>* instance_or_null(PyObject* obj, TypeCache& type_cache) {
  PyTypeObject* type = type_cache.get();
  if (!obj || !PyObject_TypeCheck(obj, type)) return nullptr;
  return object_cast<Payload>(obj);
}

// The instance behind `obj`; otherwise TypeError "'{}' object is not an instance of '{}'".
template <class Payload>
Object<Payload>* instance(PyObject* obj, TypeCache& type_cache, std::string_view class_name) {
  if (auto* o = instance_or_null<Payload>(obj, type_cache)) return o;
  raise_not_instance(obj, class_name);
}

}  // namespace quenlith::py
