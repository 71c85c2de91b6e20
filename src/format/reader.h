// src/format/reader.h: checks and parses a document without the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "format/entry.h"
#include "format/type_table.h"

namespace korvane::format {

// A fixed-capacity array of words, left uninitialised until written: the
// reader knows an upper bound of the object count before it starts.
class WordArray {
 public:
  void allocate(size_t capacity) {
    words_.reset(new uint64_t[capacity]);
    capacity_ = capacity;
    size_ = 0;
  }
  size_t capacity() const noexcept { return capacity_; }
  size_t size() const noexcept { return size_; }
  uint64_t* data() noexcept { return words_.get(); }
  const uint64_t* data() const noexcept { return words_.get(); }
  void set_size(size_t size) noexcept { size_ = size; }
  uint64_t& operator[](size_t i) noexcept { return words_[i]; }
  const uint64_t& operator[](size_t i) const noexcept { return words_[i]; }

 private:
  std::unique_ptr<uint64_t[]> words_;
  size_t capacity_ = 0, size_ = 0;
};

// The parsed document views the input, which must outlive it. Each object is
// one 64-bit word: the offset of its tag byte, or, for a Reference entry, the
// final target of its chain resolved once after parsing (so long chains and
// loops cost nothing at build time).
class ParsedDocument {
 public:
  static constexpr uint64_t kRefBit = 1ull << 63;
  static constexpr uint64_t kRefLoop = kRefBit | (1ull << 62);    // chain never ends
  static constexpr uint64_t kRefMissing = kRefBit | (1ull << 61);  // | the missing number
  // On an entry that is not a Reference: some Reference entry leads to it.
  static constexpr uint64_t kTargetBit = 1ull << 58;
  static constexpr uint64_t kOffsetMask = kTargetBit - 1;

  std::span<const uint8_t> input;
  std::vector<uint64_t> strings;  // offset of each text in the input
  std::vector<uint32_t> string_lengths;
  TypeRegistry types;
  WordArray objects;
  uint32_t dataclass_entries = 0;
  // Set when the reader left the texts' UTF-8 to the caller (see read_document).
  bool texts_unchecked = false;

  uint32_t string_count() const noexcept { return static_cast<uint32_t>(string_lengths.size()); }
  std::string_view text(uint32_t index) const noexcept {
    return {reinterpret_cast<const char*>(input.data()) + strings[index], string_lengths[index]};
  }
  uint32_t object_count() const noexcept { return static_cast<uint32_t>(objects.size()); }
  bool is_reference(uint32_t n) const noexcept { return objects[n] & kRefBit; }
  bool is_target(uint32_t n) const noexcept { return objects[n] & kTargetBit; }
  uint64_t offset(uint32_t n) const noexcept { return objects[n] & kOffsetMask; }
  // The decoded entry `n`, which is not a Reference.
  GraphNode node(uint32_t n) const noexcept;
};

// Whether the reader checks that every text is UTF-8. A caller that decodes
// texts with a strict UTF-8 decoder anyway may take the check over: it must
// then call text_fault on every text it did not decode, and prefer the first
// fault to any error of its own, as the reader would have reported it first.
// The reader still checks the texts itself when it fails for another reason
// and when the document has Dataclass entries (whose building runs code).
enum class TextCheck { Reader, Caller };

Result<ParsedDocument> read_document(std::span<const uint8_t> input,
                                     TextCheck texts = TextCheck::Reader);

// The reader's error for text `index` when it is not UTF-8.
std::optional<Error> text_fault(const ParsedDocument& doc, uint32_t index);

}  // namespace korvane::format
