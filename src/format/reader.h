// src/format/reader.h: checks and parses a document without the interpreter.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "graph/object_graph.h"
#include "graph/type_registry.h"

namespace korvane::format {

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
  graph::TypeRegistry types;
  std::vector<uint64_t> objects;
  uint32_t dataclass_entries = 0;

  uint32_t string_count() const noexcept { return static_cast<uint32_t>(string_lengths.size()); }
  std::string_view text(uint32_t index) const noexcept {
    return {reinterpret_cast<const char*>(input.data()) + strings[index], string_lengths[index]};
  }
  uint32_t object_count() const noexcept { return static_cast<uint32_t>(objects.size()); }
  bool is_reference(uint32_t n) const noexcept { return objects[n] & kRefBit; }
  bool is_target(uint32_t n) const noexcept { return objects[n] & kTargetBit; }
  uint64_t offset(uint32_t n) const noexcept { return objects[n] & kOffsetMask; }
  // The decoded entry `n`, which is not a Reference.
  graph::GraphNode node(uint32_t n) const noexcept;
};

Result<ParsedDocument> read_document(std::span<const uint8_t> input);

}  // namespace korvane::format
