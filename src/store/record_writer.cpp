#include "store/record_writer.hpp"

#include <bit>
#include <cstring>

namespace quenlith::store {

static_assert(std::endian::native == std::endian::little, "swap records are written by plain copies on this host");

namespace {

template <class S>
void append_raw(std::vector<std::uint8_t>& out, const S* data, std::size_t n) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(data);
  out.insert(out.end(), p, p + n * sizeof(S));
}

}  // namespace

void RecordWriter::write_u32(std::uint32_t v) { append_raw(bytes_, &v, 1); }
void RecordWriter::write_u64(std::uint64_t v) { append_raw(bytes_, &v, 1); }
void RecordWriter::write_f64(double v) { append_raw(bytes_, &v, 1); }

void RecordWriter::write_string(std::string_view s) {
  write_u64(s.size());
  append_raw(bytes_, s.data(), s.size());
}

void RecordWriter::write_u8_list(std::span<const std::uint8_t> v) {
  write_u64(v.size());
  append_raw(bytes_, v.data(), v.size());
}
void RecordWriter::write_u32_list(std::span<const std::uint32_t> v) {
  write_u64(v.size());
  append_raw(bytes_, v.data(), v.size());
}
void RecordWriter::write_u64_list(std::span<const std::uint64_t> v) {
  write_u64(v.size());
  append_raw(bytes_, v.data(), v.size());
}
void RecordWriter::write_f64_list(std::span<const double> v) {
  write_u64(v.size());
  append_raw(bytes_, v.data(), v.size());
}
void RecordWriter::write_bool_list(const std::vector<bool>& v) {
  write_u64(v.size());
  for (bool b : v) write_bool(b);
}
void RecordWriter::write_string_list(std::span<const std::string> v) {
  write_u64(v.size());
  for (const std::string& s : v) write_string(s);
}

}  // namespace quenlith::store
