#include "py/dump_print.hpp"

#include "py/convert.hpp"
#include "py/ref.hpp"

namespace quenlith::py {

dump::DumpOptions dump_options(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(sig, args, nargsf, kwnames);
  dump::DumpOptions options;
  if (bound.has(0)) options.precision = arg(sig, bound, 0, to_u64);
  if (bound.has(1)) options.max_rows = arg(sig, bound, 1, to_u64);
  if (bound.has(2)) options.max_cols = arg(sig, bound, 2, to_u64);
  return options;
}

void dump_print(std::string_view text) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref print = Ref::steal(PyObject_GetAttrString(builtins.get(), "print"));
  Ref line = from_str(text);
  Ref result = Ref::steal(PyObject_CallOneArg(print.get(), line.get()));
}

}  // namespace quenlith::py
