#include "base/error.hpp"

#include <cstring>

namespace quenlith {

Error Error::io(std::error_code code) {
  return Error(Kind::Io, fmt::format("{} (os error {})", code.message(), code.value()));
}

Error Error::io_errno(int errno_value) { return io(std::error_code(errno_value, std::generic_category())); }

std::string Error::text() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + payload_;
    case Kind::Serialization: return "serialization error: " + payload_;
    case Kind::StaleHandle: return "stale handle (slot freed or generation mismatch)";
    case Kind::Interrupted: return "computation interrupted";
    case Kind::MeshSealed:
      return "submesh is sealed: it is already used by a finite-element space, field or matrix and can no "
             "longer be modified";
    case Kind::Message: return payload_;
  }
  return payload_;
}

std::string Error::debug() const {
  switch (kind_) {
    case Kind::Io: return fmt::format("Io(\"{}\")", payload_);
    case Kind::Serialization: return fmt::format("Serialization(\"{}\")", payload_);
    case Kind::StaleHandle: return "StaleHandle";
    case Kind::Interrupted: return "Interrupted";
    case Kind::MeshSealed: return "MeshSealed";
    case Kind::Message: return fmt::format("Message(\"{}\")", payload_);
  }
  return {};
}

const char* Error::what() const noexcept {
  try {
    if (what_.empty()) what_ = text();
    return what_.c_str();
  } catch (...) {
    return "quenlith error";
  }
}

}  // namespace quenlith
