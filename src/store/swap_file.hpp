#pragma once
// Whole-file reading and writing of swap files.
//
// A swap file is a 16-byte header followed by one record:
//   bytes 0..4    the magic "QLSW"
//   bytes 4..8    u32 CRC-32C of bytes 8..16 and of the record
//   bytes 8..16   u64 length of the record in bytes
// all little-endian. Bytes after the record are not read. The header is checked
// before any byte of the record is decoded: a record damaged on disk could name
// another live object, and decoding it would give back units that object never
// lent.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quenlith::store {

// The whole content of the file. Throws Error::io with the operating system's text
// ("No such file or directory (os error 2)").
std::vector<std::uint8_t> read_swap_file(const std::string& path);

// The record a swap file's whole content holds, once its header checks out. Throws
// Error::serialization when the content is too short for its header or its record
// ("io error: unexpected end of file"), does not start with the magic, or fails its
// checksum.
std::span<const std::uint8_t> swap_file_record(std::span<const std::uint8_t> content);

// Writes the header of `record` then `record` to a new file of `dir`, created
// exclusively (never over an existing file or through a symbolic link) with mode
// 0600, and returns its absolute path (a relative `dir` is taken against the current working directory now). The
// name is "{stem}-{pid}-{n}.swap" with a process-wide counter n. On any failure the
// partial file is removed and Error::io is thrown.
std::string write_new_swap_file(const std::string& dir, std::string_view stem, std::span<const std::uint8_t> record);

// Removes the file; false when that failed (the caller ignores it).
bool remove_swap_file(const std::string& path) noexcept;

}  // namespace quenlith::store
