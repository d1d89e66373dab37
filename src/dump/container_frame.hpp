#pragma once
// The frame a container's dump puts around the dumps of its items:
//
//   <display text>
//   ── [0] ──
//     <item 0 dump text, every line indented by two spaces>
//   ── [1] ──
//     <Error text of an item that could not be read>
//
// An item that cannot be read never stops the frame: it shows as "<{}>" with
// the error's display text and the next items are still dumped.
#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace quenlith::dump {

// "<{}>" with the error's display text, e.g. "<stale handle (slot freed or generation mismatch)>".
std::string dump_error_item(const Error& error);

// Appends the section header "── [index] ──\n" and the lines of `item_text`,
// each as two spaces, the line and a line feed. Lines end at each line feed (a
// carriage return just before it goes with it); a last line without a line feed
// still counts, a final line feed starts no empty line, an empty line becomes
// two spaces alone, and an empty item text adds no line.
void append_dump_section(std::string& out, std::size_t index, std::string_view item_text);

// The whole container dump: `display_text`, a line feed, then one section per
// item. `item_text(i)` returns the dump text of item i (a std::string); it takes
// and releases the item's read guard itself, so a guard never outlives its
// item. An Error it throws becomes the item's "<{}>" text; any other
// exception (bad_alloc) goes through.
template <class ItemText>
std::string dump_container(std::string_view display_text, std::size_t n_items, ItemText&& item_text) {
  std::string out(display_text);
  out += '\n';
  for (std::size_t i = 0; i < n_items; ++i) {
    std::string text;
    try {
      text = item_text(i);
    } catch (const Error& error) {
      text = dump_error_item(error);
    }
    append_dump_section(out, i, text);
  }
  return out;
}

}  // namespace quenlith::dump
