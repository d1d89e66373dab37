#pragma once
// The `dump` method shared by every class: its signature, the options, and the
// print path (one call of builtins.print with the whole text).
#include <Python.h>

#include <string_view>

#include "dump/dump_options.hpp"
#include "py/bind/signature.hpp"

namespace quenlith::py {

inline constexpr Param dump_params[] = {{"precision", "3"}, {"max_rows", "20"}, {"max_cols", "12"}};
inline constexpr const char* kDumpDocItem =
    "Print the full content (third display level) to stdout: values /\n"
    "topology, beyond `repr`'s bounded structure. Returns nothing.";
inline constexpr const char* kDumpDocContainer =
    "Print the full content (third display level) to stdout:\n"
    "every sub-object's values/topology, beyond `repr`'s bounded\n"
    "structure. Returns nothing.";

// Prints `text` through builtins.print (imported at every call, so the current
// sys.stdout applies). Throws ErrorAlreadySet when print fails.
void dump_print(std::string_view text);

}  // namespace quenlith::py
