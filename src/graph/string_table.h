// src/graph/string_table.h: every distinct text of a document, stored once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/buffer.h"

namespace korvane::graph {

// Texts live back to back in one arena; a text's string index is its
// position. `index_of` is an open-addressing table of (index + 1), 0 empty.
class StringTable {
 public:
  StringTable();

  // The index of `text`, appending a copy when it is new. Callers keep texts
  // under 2^32 bytes and the table under 2^32 entries.
  uint32_t intern(std::string_view text);
  std::optional<uint32_t> lookup(std::string_view text) const;

  uint32_t size() const noexcept { return static_cast<uint32_t>(spans_.size()); }
  std::string_view text(uint32_t index) const noexcept {
    const Span& s = spans_[index];
    return {reinterpret_cast<const char*>(arena_.data()) + s.offset, s.length};
  }
  // Bytes of all texts together, without their length fields.
  uint64_t text_bytes() const noexcept { return arena_.size(); }

 private:
  struct Span {
    uint64_t offset;
    uint64_t hash;  // kept whole so the index grows without rehashing texts
    uint32_t length;
  };
  uint32_t find(std::string_view text, uint64_t hash) const noexcept;
  void grow_index();

  ByteBuffer arena_;
  std::vector<Span> spans_;
  std::vector<uint32_t> index_of_;
  uint64_t seed_;
};

}  // namespace korvane::graph
