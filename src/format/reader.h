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

// Where the chain of a Reference entry ends.
struct ChainEnd {
  enum class Kind : uint8_t { Entry, Loop, Missing };
  Kind kind;
  uint32_t number;  // Entry: the entry, never a Reference; Missing: the number past the table
};

class ReaderDetail;

// The parsed document views the input, which must outlive it. Each object is
// one 64-bit word: the offset of its tag byte, or, for a Reference entry, the
// final target of its chain resolved once after parsing (so long chains and
// loops cost nothing at build time). How a word holds that is the reader's
// own; everyone else asks the accessors below.
class ParsedDocument {
 public:
  explicit ParsedDocument(std::span<const uint8_t> in)
      : input(in), types(TypeRegistry::Texts::Borrow) {}

  std::span<const uint8_t> input;
  std::vector<uint64_t> strings;  // offset of each text in the input
  std::vector<uint32_t> string_lengths;
  TypeRegistry types;
  uint32_t dataclass_entries = 0;
  // Set when the reader left the texts' UTF-8 to the caller (see read_document).
  bool texts_unchecked = false;

  uint32_t string_count() const noexcept { return static_cast<uint32_t>(string_lengths.size()); }
  std::string_view text(uint32_t index) const noexcept {
    return {reinterpret_cast<const char*>(input.data()) + strings[index], string_lengths[index]};
  }
  uint32_t object_count() const noexcept { return static_cast<uint32_t>(objects_.size()); }
  bool is_reference(uint32_t n) const noexcept { return word_is_reference(objects_[n]); }
  // Entry `n` (not a Reference) is the end of some Reference entry's chain.
  bool is_target(uint32_t n) const noexcept { return word_is_target(objects_[n]); }
  // The tag byte of entry `n`, which is not a Reference; the layout
  // accessors (format/entry.h) read the rest from there.
  const uint8_t* at(uint32_t n) const noexcept { return input.data() + word_offset(objects_[n]); }
  uint8_t tag(uint32_t n) const noexcept { return *at(n); }
  // Where the chain of Reference entry `n` ends.
  ChainEnd chain_end(uint32_t n) const noexcept {
    const uint64_t w = objects_[n];
    if (w == kRefLoop) return {ChainEnd::Kind::Loop, 0};
    const auto number = static_cast<uint32_t>(w);
    if ((w & kRefMissing) == kRefMissing) return {ChainEnd::Kind::Missing, number};
    return {ChainEnd::Kind::Entry, number};
  }
  // The entry that child number `n` stands for: `n` itself, or the end of
  // its chain; none when `n` is past the table or its chain ends nowhere.
  std::optional<uint32_t> final_entry(uint32_t n) const noexcept {
    if (n >= object_count()) return std::nullopt;
    if (!is_reference(n)) return n;
    const ChainEnd end = chain_end(n);
    if (end.kind != ChainEnd::Kind::Entry) return std::nullopt;
    return end.number;
  }
  // The decoded entry `n`, which is not a Reference.
  GraphNode node(uint32_t n) const noexcept;

  // The raw words, for the decoder's marked hot loop over scalar children,
  // with the word tests it needs.
  const uint64_t* words() const noexcept { return objects_.data(); }
  static bool word_is_reference(uint64_t w) noexcept { return w & kRefBit; }
  // A Reference whose chain ends at an entry: word_entry gives it.
  static bool word_reaches_entry(uint64_t w) noexcept {
    return (w & (kRefLoop | kRefMissing)) == kRefBit;
  }
  static uint32_t word_entry(uint64_t w) noexcept { return static_cast<uint32_t>(w); }
  static bool word_is_target(uint64_t w) noexcept { return w & kTargetBit; }
  static uint64_t word_offset(uint64_t w) noexcept { return w & kOffsetMask; }
  // word_offset of a word that is neither a Reference nor a target: no
  // flag bit is set, so the word is the offset itself.
  static uint64_t plain_word_offset(uint64_t w) noexcept { return w; }

 private:
  friend class ReaderDetail;
  static constexpr uint64_t kRefBit = 1ull << 63;
  static constexpr uint64_t kRefLoop = kRefBit | (1ull << 62);    // chain never ends
  static constexpr uint64_t kRefMissing = kRefBit | (1ull << 61);  // | the missing number
  // On an entry that is not a Reference: some Reference entry leads to it.
  static constexpr uint64_t kTargetBit = 1ull << 58;
  static constexpr uint64_t kOffsetMask = kTargetBit - 1;

  WordArray objects_;
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
