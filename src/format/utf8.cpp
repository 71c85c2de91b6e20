// src/format/utf8.cpp: the validator reports the length of the invalid
// sequence as the longest prefix of a well-formed sequence plus one.
#include "format/utf8.h"

#include <cstring>

namespace korvane::format {

std::string Utf8Fault::describe() const {
  if (length)
    return "invalid utf-8 sequence of " + std::to_string(*length) + " bytes from index " +
           std::to_string(valid_up_to);
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

namespace {

bool is_cont(uint8_t b) { return (b & 0xC0) == 0x80; }

// Accepted range of the second byte after a lead byte of 3 or 4 bytes.
bool second_ok(uint8_t lead, uint8_t b) {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return is_cont(b);
  }
}

int width(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::optional<Utf8Fault> check_utf8(const uint8_t* data, size_t size) noexcept {
  size_t i = 0;
  while (i < size) {
    // ASCII runs go eight bytes at a time.
    while (i + 8 <= size) {
      uint64_t w;
      std::memcpy(&w, data + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= size) break;
    const uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const int w = width(lead);
    if (w == 0) return Utf8Fault{i, 1};
    for (int k = 1; k < w; ++k) {
      if (i + k >= size) return Utf8Fault{i, std::nullopt};
      const uint8_t b = data[i + k];
      if (!(k == 1 ? second_ok(lead, b) : is_cont(b)))
        return Utf8Fault{i, static_cast<uint8_t>(k)};
    }
    i += w;
  }
  return std::nullopt;
}

}  // namespace korvane::format
