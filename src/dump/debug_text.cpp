#include "dump/debug_text.hpp"

#include <fmt/format.h>

#include "dump/number_format.hpp"

namespace quenlith::dump {

void append_debug_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", u);
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_debug_quoted(out, text);
  return out;
}

std::string_view debug_flag(bool value) noexcept { return value ? "true" : "false"; }

std::string join(std::span<const std::string> items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

std::string debug_list(std::span<const std::string> items) { return "[" + join(items, ", ") + "]"; }

std::string debug_quoted_list(std::span<const std::string> texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    append_debug_quoted(out, texts[i]);
  }
  out += ']';
  return out;
}

std::string debug_number_list(std::span<const double> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    append_debug_number(out, values[i]);
  }
  out += ']';
  return out;
}

DebugRecord::DebugRecord(std::string_view name) : text_(name) {}

DebugRecord& DebugRecord::field(std::string_view name, std::string_view value) {
  text_ += n_fields_++ == 0 ? " { " : ", ";
  text_ += name;
  text_ += ": ";
  text_ += value;
  return *this;
}

std::string DebugRecord::finish() const { return n_fields_ == 0 ? text_ : text_ + " }"; }

std::string debug_container(std::string_view name, std::span<const std::string> items) {
  return DebugRecord(name).field("count", std::to_string(items.size())).field("items", debug_list(items)).finish();
}

}  // namespace quenlith::dump
