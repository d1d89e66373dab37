// set_swap_dir(path) and swap_dir(): the process-wide swap directory.
#include "py/swap_dir.hpp"

#include <atomic>

#include "py/bind/class.hpp"
#include "store/swap_dir.hpp"

namespace quenlith::py {

namespace {

constexpr Param set_swap_dir_params[] = {{"path"}};
const Signature set_swap_dir_sig{
    "set_swap_dir", nullptr, Receiver::None, set_swap_dir_params,
    "Set the directory used to swap large objects to disk. If never set, a\n"
    "per-process subdirectory of the system temp dir is used."};
const Signature swap_dir_sig{"swap_dir", nullptr, Receiver::None, {},
                             "Return the effective swap directory (creating it if necessary)."};

void set_swap_dir(std::string path) { store::set_swap_dir(std::move(path)); }

Ref swap_dir_impl(PyObject*) {
  const std::string path = store::swap_dir();
  // pathlib.Path is looked up once and kept for the life of the process. Without
  // the interpreter lock two threads may both look it up: one keeps its reference,
  // the other drops its own.
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* path_class = cached.load(std::memory_order_acquire);
  if (!path_class) {
    Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
    Ref found = Ref::steal(PyObject_GetAttrString(pathlib.get(), "Path"));
    PyObject* expected = nullptr;
    if (cached.compare_exchange_strong(expected, found.get(), std::memory_order_acq_rel))
      path_class = found.release();  // never given back
    else
      path_class = expected;
  }
  Ref text = Ref::steal_or_null(PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "strict"));
  if (!text) {
    PyErr_Clear();
    text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  }
  return Ref::steal(PyObject_CallOneArg(path_class, text.get()));
}

}  // namespace

PyMethodDef set_swap_dir_def = function<set_swap_dir_sig, set_swap_dir, to_path>();
PyMethodDef swap_dir_def = {"swap_dir", noargs<swap_dir_impl>, METH_NOARGS, swap_dir_sig.doc()};

}  // namespace quenlith::py
