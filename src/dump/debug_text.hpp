#pragma once
// Building blocks of the debug texts that repr() returns for every class:
//
//   record   Name { field: value, other: value }
//   list     [a, b, c]            (empty: [])
//   text     "with \"quotes\", \\ and \n escaped"
//   flag     true / false
//   number   debug_number (number_format.hpp)
//
// Values handed to a record or a list are already in their debug form; these
// helpers only put the punctuation around them.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace quenlith::dump {

// A text between double quotes, with a backslash before every '"' and '\', and
// line feed, carriage return and tab written as \n, \r and \t. Any other control
// character (U+0000 to U+001F, U+007F) is written \u{h}, its code in lowercase
// hexadecimal without leading zeros, so a debug text never carries raw control
// bytes. Other bytes, multi-byte UTF-8 included, are copied as they are.
std::string debug_quoted(std::string_view text);
void append_debug_quoted(std::string& out, std::string_view text);

// "true" or "false".
std::string_view debug_flag(bool value) noexcept;

// The items separated by `separator` ("a, b" with ", ").
std::string join(std::span<const std::string> items, std::string_view separator);

// "[" + items joined by ", " + "]"; the items are taken as already formatted.
std::string debug_list(std::span<const std::string> items);
// A list of quoted texts: ["ux", "uy"].
std::string debug_quoted_list(std::span<const std::string> texts);
// A list of debug numbers: [0.5, 1.0].
std::string debug_number_list(std::span<const double> values);

// A list of any range, each element written by `item` (returning something a
// std::string can be appended from), e.g. node ids:
//   debug_list_of(ids, [](std::uint32_t id) { return std::to_string(id); }) == "[0, 1, 2]"
template <class Range, class ItemText>
std::string debug_list_of(const Range& range, ItemText&& item) {
  std::string out = "[";
  bool first = true;
  for (const auto& element : range) {
    if (!first) out += ", ";
    first = false;
    out += item(element);
  }
  out += ']';
  return out;
}

// Builds "Name { a: 1, b: [] }" field by field:
//   DebugRecord("Cell").field("idx", "3").finish() == "Cell { idx: 3 }"
// A record without fields (no class has one today) is its bare name.
class DebugRecord {
 public:
  explicit DebugRecord(std::string_view name);
  // Appends one field; `value` is already in its debug form.
  DebugRecord& field(std::string_view name, std::string_view value);
  std::string finish() const;

 private:
  std::string text_;
  std::size_t n_fields_ = 0;
};

// The debug record of a container: "Name { count: N, items: [...] }" with the
// items in their resolved form (each item's debug text, or its bare handle text
// when it cannot be read; the caller resolves them).
std::string debug_container(std::string_view name, std::span<const std::string> items);

}  // namespace quenlith::dump
