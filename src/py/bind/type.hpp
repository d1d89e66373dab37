#pragma once
// Heap types built from specs, once per process. Our classes are not
// subclassable, and a class without a constructor is not instantiable.
#include <Python.h>

#include <atomic>
#include <vector>

namespace quenlith::py {

struct TypeDef {
  const char* name;        // "_quenlith.Coords": the module part becomes __module__
  int basic_size;
  const char* doc;         // signature line first when the class has a constructor
  bool has_constructor;
  std::vector<PyType_Slot> slots;  // without Py_tp_doc and the terminator
};

// Returns the cached type (a borrowed reference), building it on first use.
// Throws ErrorAlreadySet when the interpreter refuses to build it.
class TypeCache {
 public:
  using Builder = TypeDef (*)();
  explicit constexpr TypeCache(Builder b) : builder_(b) {}
  PyTypeObject* get();
  // The cached type, or nullptr when it was never built.
  PyTypeObject* peek() const noexcept { return type_.load(std::memory_order_acquire); }

 private:
  Builder builder_;
  std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace quenlith::py
