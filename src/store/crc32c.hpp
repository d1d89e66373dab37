#pragma once
// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78): the checksum of swap files.
// It detects every single-bit error and every burst of up to 32 bits, which is what
// a damaged block on disk looks like.
#include <cstdint>
#include <span>

namespace quenlith::store {

// The checksum of `bytes`, continuing from `crc` (the checksum of the bytes before
// them; 0 to start).
std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) noexcept;

}  // namespace quenlith::store
