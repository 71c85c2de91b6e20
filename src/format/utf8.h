// src/format/utf8.h: strict UTF-8 validation with positioned fault reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane::format {

struct Utf8Fault {
  size_t valid_up_to;          // index of the first byte of the bad sequence
  std::optional<uint8_t> length;  // bytes of the invalid sequence; none: input ended early

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string describe() const;
};

// Checks RFC 3629 UTF-8 (no surrogates, nothing past U+10FFFF, shortest forms).
std::optional<Utf8Fault> check_utf8(const uint8_t* data, size_t size) noexcept;

}  // namespace korvane::format
