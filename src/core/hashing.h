// src/core/hashing.h: seeded hashing for the lookup maps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// A fresh seed for one map: drawn once per process from the operating
// system's random source, then advanced for every map, so no map's layout
// can be predicted from the data (iteration order never reaches output).
uint64_t next_map_seed() noexcept;

uint64_t hash_bytes(const void* data, size_t size, uint64_t seed) noexcept;

inline uint64_t mix64(uint64_t a, uint64_t b) noexcept {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t hash_address(const void* p, uint64_t seed) noexcept {
  return mix64(reinterpret_cast<uintptr_t>(p) ^ seed, 0x9E3779B97F4A7C15ull);
}

}  // namespace korvane
