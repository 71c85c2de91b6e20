// src/core/hashing.cpp: process seed and a small word-at-a-time byte hash.
#include "core/hashing.h"

#include <atomic>
#include <cstring>
#include <random>

namespace korvane {

using hashing_detail::load64;

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

}  // namespace

uint64_t next_map_seed() noexcept {
  static const uint64_t process_seed = draw_process_seed();
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return mix64(process_seed ^ n, 0xD6E8FEB86659FD93ull) | 1;
}

uint64_t hashing_detail::hash_long(const uint8_t* p, size_t size, uint64_t seed) noexcept {
  const size_t total = size;
  uint64_t h = seed;
  while (size > 16) {
    h = mix64(load64(p) ^ 0xE7037ED1A0B428DBull, load64(p + 8) ^ h);
    p += 16;
    size -= 16;
  }
  const uint64_t a = load64(p + size - 16), b = load64(p + size - 8);
  return mix64(0xA0761D6478BD642Full ^ total, mix64(a ^ 0xE7037ED1A0B428DBull, b ^ h));
}

}  // namespace korvane
