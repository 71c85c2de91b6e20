// src/format/extent.h: where a document ends in a stream of concatenated ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane::format {

// Walks the layout of a document as its bytes arrive, one whole item (the
// header, a string, a type entry, an object entry) at a time, so each call
// costs only the items that are new since the last one. It reads lengths and
// counts and nothing else: every other check is the reader's, which parses
// the document once its last byte is in. Each call is given the document's
// bytes from its first one on, those of earlier calls included; bytes past
// the end (the next document) may follow.
class DocumentExtent {
 public:
  enum class Status : uint8_t {
    Complete,  // `bytes` is the document's length
    NeedMore,  // at least `bytes` more bytes belong to the document
    Fault,     // the length is unknowable (bad magic, unknown tag): the
               // reader reports the fault from the bytes given
  };
  struct Step {
    Status status;
    uint64_t bytes;
  };

  // After Complete or Fault the extent starts afresh for the next document.
  Step advance(std::span<const uint8_t> input) noexcept;

 private:
  enum class Phase : uint8_t { Header, Strings, TypeCount, Types, ObjectCount, Objects };
  // The size of the item at pos_: where it ends (`sized`), or, when the bytes
  // at hand do not tell yet, where the part that tells ends.
  struct Item {
    bool sized;
    bool fault;
    uint64_t end;
  };
  Item item(std::span<const uint8_t> input) const noexcept;
  void consume(std::span<const uint8_t> input, uint64_t end) noexcept;

  Phase phase_ = Phase::Header;
  uint64_t pos_ = 0;   // the start of the first item not yet walked
  uint64_t left_ = 0;  // items of the current table still to walk
};

}  // namespace korvane::format
