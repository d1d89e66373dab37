#pragma once
// The one error type of the core. Every failure of a core operation is thrown as
// an `Error`; nothing in the core prints or touches Python. The binding layer
// turns it into a Python exception in one place (py::error_to_pyerr).
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace quenlith {

class Error : public std::exception {
 public:
  // The order is the kind's number.
  enum class Kind : std::uint8_t { Io, Serialization, StaleHandle, Interrupted, MeshSealed, Message };

  static Error io(std::string description) { return Error(Kind::Io, std::move(description)); }
  // From an operating-system error code: "{description} (os error {code})".
  static Error io(std::error_code code);
  static Error io_errno(int errno_value);
  static Error serialization(std::string text) { return Error(Kind::Serialization, std::move(text)); }
  static Error stale_handle() { return Error(Kind::StaleHandle, {}); }
  static Error interrupted() { return Error(Kind::Interrupted, {}); }
  static Error mesh_sealed() { return Error(Kind::MeshSealed, {}); }
  static Error message(std::string text) { return Error(Kind::Message, std::move(text)); }
  template <class... A>
  static Error message(fmt::format_string<A...> f, A&&... a) {
    return Error(Kind::Message, fmt::format(f, std::forward<A>(a)...));
  }

  Kind kind() const noexcept { return kind_; }
  // The payload of Io, Serialization and Message; empty for the other kinds.
  const std::string& payload() const noexcept { return payload_; }
  // The display text ("I/O error: ...", "stale handle (...)", the message itself...).
  std::string text() const;
  // Kind name, with the payload quoted for kinds that carry one: for assertions only.
  std::string debug() const;
  const char* what() const noexcept override;

 private:
  Error(Kind k, std::string p) : kind_(k), payload_(std::move(p)) {}
  Kind kind_;
  std::string payload_;
  mutable std::string what_;  // filled lazily by what()
};

// Throws Error::message(fmt::format(...)) when the condition does not hold.
#define QUENLITH_VERIFY(cond, ...)                                              \
  do {                                                                          \
    if (!(cond)) throw ::quenlith::Error::message(__VA_ARGS__);          \
  } while (0)

}  // namespace quenlith
