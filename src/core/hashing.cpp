// src/core/hashing.cpp: process seed and a small word-at-a-time byte hash.
#include "core/hashing.h"

#include <atomic>
#include <cstring>
#include <random>

namespace korvane {
namespace {

uint64_t draw_process_seed() noexcept {
  try {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
    // No random source: fall back to an address, which ASLR still varies.
    return reinterpret_cast<uintptr_t>(&draw_process_seed) * 0x9E3779B97F4A7C15ull;
  }
}

uint64_t load64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

uint64_t next_map_seed() noexcept {
  static const uint64_t process_seed = draw_process_seed();
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return mix64(process_seed ^ n, 0xD6E8FEB86659FD93ull) | 1;
}

uint64_t hash_bytes(const void* data, size_t size, uint64_t seed) noexcept {
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t h = seed ^ (size * 0x9E3779B97F4A7C15ull);
  while (size >= 8) {
    h = mix64(h ^ load64(p), 0xA0761D6478BD642Full);
    p += 8;
    size -= 8;
  }
  if (size) {
    uint64_t tail = 0;
    std::memcpy(&tail, p, size);
    h = mix64(h ^ tail, 0xE7037ED1A0B428DBull);
  }
  return mix64(h, 0x8EBC6AF09C88C6E3ull);
}

}  // namespace korvane
