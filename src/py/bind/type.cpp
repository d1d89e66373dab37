#include "py/bind/type.hpp"

#include <mutex>

#include "py/bind/ref.hpp"

namespace quenlith::py {

PyTypeObject* TypeCache::get() {
  if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
  // Building a type runs no code of ours that could come back here, so one
  // process-wide mutex is enough to make concurrent first uses build one type.
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
  TypeDef def = builder_();
  std::vector<PyType_Slot> slots = def.slots;
  slots.push_back({Py_tp_doc, const_cast<char*>(def.doc)});
  slots.push_back({0, nullptr});
  unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!def.has_constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec spec{def.name, def.basic_size, 0, flags, slots.data()};
  PyObject* type = check(PyType_FromSpec(&spec));
  // Kept for the life of the process: this reference is never given back.
  type_.store(reinterpret_cast<PyTypeObject*>(type), std::memory_order_release);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace quenlith::py
