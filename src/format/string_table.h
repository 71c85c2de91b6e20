// src/format/string_table.h: every distinct text of a document, stored once.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/buffer.h"

namespace korvane::format {

// Texts live back to back in one arena; a text's string index is its
// position. The index is an open-addressing table of (string index + 1),
// 0 empty. All three buffers are the thread's warm spares, so a call does
// not pay for growing them again.
class StringTable {
 public:
  StringTable();
  ~StringTable();
  StringTable(const StringTable&) = delete;
  StringTable& operator=(const StringTable&) = delete;

  // The index of `text`, appending a copy when it is new. Callers keep texts
  // under 2^32 bytes and the table under 2^32 entries.
  uint32_t intern(std::string_view text);
  std::optional<uint32_t> lookup(std::string_view text) const;

  uint32_t size() const noexcept { return count_; }
  std::string_view text(uint32_t index) const noexcept {
    const Span s = span(index);
    return {reinterpret_cast<const char*>(arena_.data()) + s.offset, s.length};
  }
  // Bytes of all texts together, without their length fields.
  uint64_t text_bytes() const noexcept { return arena_.size(); }
  // The texts before string index `index` were copied out and are not read
  // again (lookups included); as ObjectGraph::copied_out.
  void copied_out(uint32_t index) noexcept {
    if (arena_.capacity() > SpareBuffer::kMaxSpare && index < count_)
      arena_.discard(0, span(index).offset);
  }

 private:
  struct Span {
    uint64_t offset;
    uint32_t length;
    uint32_t hash;  // kept so the index grows without rehashing texts
  };
  Span span(uint32_t index) const noexcept {
    Span s;
    std::memcpy(&s, spans_.data() + sizeof(Span) * index, sizeof s);
    return s;
  }
  uint32_t slot(size_t i) const noexcept {
    uint32_t v;
    std::memcpy(&v, index_.data() + 4 * i, 4);
    return v;
  }
  uint32_t find(std::string_view text, uint32_t hash) const noexcept;
  void place(uint32_t hash, uint32_t number) noexcept;
  void resize_index(size_t slots);

  ByteBuffer arena_, spans_, index_;
  size_t mask_ = 0;
  uint32_t count_ = 0;
  uint64_t seed_;
};

}  // namespace korvane::format
