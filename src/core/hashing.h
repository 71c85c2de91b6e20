// src/core/hashing.h: seeded hashing for the lookup maps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// A fresh seed for one map: drawn once per process from the operating
// system's random source, then advanced for every map, so no map's layout
// can be predicted from the data (iteration order never reaches output).
uint64_t next_map_seed() noexcept;

inline uint64_t mix64(uint64_t a, uint64_t b) noexcept {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

namespace hashing_detail {
inline uint64_t load64(const uint8_t* p) noexcept {
  uint64_t v;
  __builtin_memcpy(&v, p, 8);
  return v;
}
inline uint64_t load32(const uint8_t* p) noexcept {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}
uint64_t hash_long(const uint8_t* p, size_t size, uint64_t seed) noexcept;
}  // namespace hashing_detail

// Texts of up to 16 bytes, the bulk of keys and short values, take two
// (possibly overlapping) loads and two multiplications; longer ones go
// sixteen bytes a round.
inline uint64_t hash_bytes(const void* data, size_t size, uint64_t seed) noexcept {
  using namespace hashing_detail;
  const auto* p = static_cast<const uint8_t*>(data);
  if (size > 16) return hash_long(p, size, seed);
  uint64_t a = 0, b = 0;
  if (size >= 8) {
    a = load64(p);
    b = load64(p + size - 8);
  } else if (size >= 4) {
    a = load32(p);
    b = load32(p + size - 4);
  } else if (size) {
    a = (uint64_t{p[0]} << 16) | (uint64_t{p[size >> 1]} << 8) | p[size - 1];
  }
  return mix64(0xA0761D6478BD642Full ^ size, mix64(a ^ 0xE7037ED1A0B428DBull, b ^ seed));
}

inline uint64_t hash_address(const void* p, uint64_t seed) noexcept {
  return mix64(reinterpret_cast<uintptr_t>(p) ^ seed, 0x9E3779B97F4A7C15ull);
}

}  // namespace korvane
