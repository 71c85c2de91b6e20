// src/format/format.h: the byte format's constants and scalar encodings.
#pragma once

#include <bit>  // std::bit_cast, std::countr_zero
#include <cstdint>
#include <cstring>

#include "core/buffer.h"

namespace korvane::format {

inline constexpr uint8_t kMagic[4] = {'K', 'R', 'V', 'N'};
inline constexpr uint8_t kLegacyMagic[4] = {'M', 'R', 'D', 'L'};
inline constexpr uint16_t kVersion = 1;
inline constexpr size_t kHeaderSize = 11;  // magic, u16 version, u32 schema, u8 flags

enum Tag : uint8_t {
  kTagNone = 0x01,
  kTagTrue = 0x02,
  kTagFalse = 0x03,
  kTagInt = 0x04,
  kTagFloat = 0x05,
  kTagStr = 0x06,
  kTagBytes = 0x07,
  kTagList = 0x08,
  kTagTuple = 0x09,
  kTagDict = 0x0A,
  kTagSet = 0x0B,
  kTagFrozenSet = 0x0C,
  kTagDataclass = 0x0D,
  kTagReference = 0x0E,
};

// Limits that follow from the field widths.
inline constexpr uint64_t kMaxLength = 0xFFFFFFFFull;     // u32 counts and lengths
inline constexpr uint32_t kMaxFields = 0xFFFF;            // u16 field counts
inline constexpr uint32_t kMaxTypes = 0x10000;            // u16 type ids
inline constexpr size_t kMaxVarintSize = 10;

inline uint64_t zigzag(int64_t v) noexcept {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t unzigzag(uint64_t z) noexcept {
  return static_cast<int64_t>((z >> 1) ^ (0 - (z & 1)));
}

// Writes the zigzag varint of `v` at `p` (room for 10 bytes); returns its size.
inline size_t encode_varint(uint8_t* p, int64_t v) noexcept {
  uint64_t z = zigzag(v);
  size_t n = 0;
  while (z >= 0x80) {
    p[n++] = static_cast<uint8_t>(z) | 0x80;
    z >>= 7;
  }
  p[n++] = static_cast<uint8_t>(z);
  return n;
}

inline size_t varint_size(int64_t v) noexcept {
  uint64_t z = zigzag(v);
  size_t n = 1;
  while (z >= 0x80) {
    z >>= 7;
    ++n;
  }
  return n;
}

// Varints of up to eight bytes, the usual ones, are read a word at a time
// when eight bytes can be loaded: the stop bytes are those whose high bit
// is clear. Zero means the varint is longer or cannot be read that way.
inline uint64_t varint_stops(uint64_t word) noexcept { return ~word & 0x8080808080808080ull; }
inline size_t short_varint_size(uint64_t stops) noexcept {
  return (static_cast<size_t>(std::countr_zero(stops)) >> 3) + 1;
}
// The payload of a varint of at most eight bytes: its 7-bit groups packed.
// With `stops` zero, the first eight groups of a longer one.
inline uint64_t short_varint_value(uint64_t word, uint64_t stops) noexcept {
  uint64_t x = word & (stops ^ (stops - 1)) & 0x7F7F7F7F7F7F7F7Full;
  x = ((x & 0x7F007F007F007F00ull) >> 1) | (x & 0x007F007F007F007Full);
  x = ((x & 0x3FFF00003FFF0000ull) >> 2) | (x & 0x00003FFF00003FFFull);
  x = ((x & 0x0FFFFFFF00000000ull) >> 4) | (x & 0x000000000FFFFFFFull);
  return x;
}

// Reads a zigzag varint already checked by the reader: at most 10 bytes,
// the tenth contributing only its bit 0. `end` bounds the readable bytes.
inline int64_t decode_varint(const uint8_t* p, const uint8_t* end) noexcept {
  if (end - p >= 10) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    if (const uint64_t stops = varint_stops(word)) return unzigzag(short_varint_value(word, stops));
    // Nine or ten bytes: the first eight give 56 bits.
    uint64_t z = short_varint_value(word, 0) | uint64_t{p[8] & 0x7Fu} << 56;
    if (p[8] & 0x80) z |= uint64_t{p[9] & 1u} << 63;
    return unzigzag(z);
  }
  uint64_t z = p[0] & 0x7F;
  if (p[0] & 0x80) {
    for (size_t i = 1; i < kMaxVarintSize; ++i) {
      const uint8_t b = p[i];
      z |= (i == kMaxVarintSize - 1 ? uint64_t(b & 1) : uint64_t(b & 0x7F)) << (7 * i);
      if (!(b & 0x80)) break;
    }
  }
  return unzigzag(z);
}

// The float payload is the binary64 bit pattern, so -0.0 and NaN payloads survive.
inline uint64_t float_bits(double d) noexcept { return std::bit_cast<uint64_t>(d); }
inline double bits_float(uint64_t b) noexcept { return std::bit_cast<double>(b); }

}  // namespace korvane::format
