#include "dump/container_frame.hpp"

namespace quenlith::dump {

std::string dump_error_item(const Error& error) { return "<" + error.text() + ">"; }

void append_dump_section(std::string& out, std::size_t index, std::string_view item_text) {
  out += "\u2500\u2500 [";
  out += std::to_string(index);
  out += "] \u2500\u2500\n";
  std::size_t start = 0;
  while (start < item_text.size()) {
    const std::size_t lf = item_text.find('\n', start);
    const std::size_t end = lf == std::string_view::npos ? item_text.size() : lf;
    std::string_view line = item_text.substr(start, end - start);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += "  ";
    out += line;
    out += '\n';
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
}

}  // namespace quenlith::dump
