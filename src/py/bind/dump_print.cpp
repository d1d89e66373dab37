#include "py/bind/dump_print.hpp"

#include "py/bind/convert.hpp"
#include "py/bind/ref.hpp"

namespace quenlith::py {

void dump_print(std::string_view text) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref print = Ref::steal(PyObject_GetAttrString(builtins.get(), "print"));
  Ref line = from_str(text);
  Ref result = Ref::steal(PyObject_CallOneArg(print.get(), line.get()));
}

}  // namespace quenlith::py
