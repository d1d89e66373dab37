#include "store/swap_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fmt/format.h>

#include "base/error.hpp"
#include "store/crc32c.hpp"
#include "store/fd.hpp"
#include "store/file_write.hpp"

namespace quenlith::store {

namespace {

std::string absolute_dir(const std::string& dir) {
  if (!dir.empty() && dir.front() == '/') return dir;
  char buffer[PATH_MAX];
  if (!::getcwd(buffer, sizeof buffer)) throw Error::io_errno(errno);
  std::string out = buffer;
  if (!dir.empty()) {
    if (out.back() != '/') out += '/';
    out += dir;
  }
  return out;
}

constexpr std::size_t kHeaderSize = 16;
constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'L', 'S', 'W'};

// The checksum covers the length field too, so that a damaged length is caught
// like a damaged record byte instead of cutting the record short.
std::uint32_t header_checksum(std::span<const std::uint8_t, 8> length, std::span<const std::uint8_t> record) {
  return crc32c(record, crc32c(length));
}

}  // namespace

std::span<const std::uint8_t> swap_file_record(std::span<const std::uint8_t> content) {
  auto end_of_data = [] { return Error::serialization("io error: unexpected end of file"); };
  if (content.size() < kHeaderSize) throw end_of_data();
  if (!std::equal(kMagic.begin(), kMagic.end(), content.begin()))
    throw Error::serialization("swap file header: not a swap record (bad magic)");
  std::uint32_t stored;
  std::memcpy(&stored, content.data() + 4, 4);
  std::uint64_t length;
  std::memcpy(&length, content.data() + 8, 8);
  if (length > content.size() - kHeaderSize) throw end_of_data();
  const std::span<const std::uint8_t> record = content.subspan(kHeaderSize, static_cast<std::size_t>(length));
  const std::uint32_t computed = header_checksum(content.subspan<8, 8>(), record);
  if (computed != stored)
    throw Error::serialization(
        fmt::format("swap file header: checksum mismatch (stored {:08x}, computed {:08x})", stored, computed));
  return record;
}

std::vector<std::uint8_t> read_swap_file(const std::string& path) {
  int raw;
  do raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) throw Error::io_errno(errno);
  Fd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw Error::io_errno(errno);
  std::vector<std::uint8_t> out;
  // The size is only a hint: read until the end whatever it said.
  out.reserve(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0);
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::io_errno(errno);
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

std::string write_new_swap_file(const std::string& dir, std::string_view stem, std::span<const std::uint8_t> record) {
  std::array<std::uint8_t, kHeaderSize> header{};
  std::copy(kMagic.begin(), kMagic.end(), header.begin());
  const std::uint64_t length = record.size();
  std::memcpy(header.data() + 8, &length, 8);
  const std::uint32_t checksum = header_checksum(std::span<const std::uint8_t>(header).subspan<8, 8>(), record);
  std::memcpy(header.data() + 4, &checksum, 4);
  std::vector<std::uint8_t> bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), record.begin(), record.end());

  static std::atomic<std::uint64_t> counter{0};
  std::string base = absolute_dir(dir);
  if (base.back() != '/') base += '/';
  // A name left over by an earlier process with the same id only costs a retry.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path =
        fmt::format("{}{}-{}-{}.swap", base, stem, ::getpid(), counter.fetch_add(1, std::memory_order_relaxed));
    // Exactly 0600: the record must be readable back, and by us alone.
    if (write_exclusive_file(path, bytes, 0600, true)) return path;
  }
  throw Error::io_errno(EEXIST);
}

bool remove_swap_file(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

}  // namespace quenlith::store
