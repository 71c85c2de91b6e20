// src/format/entry.h: the kinds of object-table entries and the decoded view
// of one entry.
#pragma once

#include <cstdint>
#include <cstring>

namespace korvane::format {

// The kinds in format tag order (Bool takes two tags).
enum class NodeKind : uint8_t {
  None,
  Bool,
  Int,
  Float,
  Str,
  Bytes,
  List,
  Tuple,
  Dict,
  Set,
  FrozenSet,
  Dataclass,
  Reference,
};

// A decoded view of one object-table entry; children stay in the encoded
// table as little-endian u32 numbers (two per Dict pair).
struct GraphNode {
  NodeKind kind = NodeKind::None;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  uint32_t index = 0;    // Str: string index; Reference: target
  uint16_t type_id = 0;  // Dataclass
  uint32_t count = 0;    // Bytes: length; containers: items or pairs
  const uint8_t* data = nullptr;  // Bytes payload or the encoded children

  uint32_t child(size_t i) const noexcept {
    uint32_t v;
    std::memcpy(&v, data + 4 * i, 4);
    return v;
  }
};

}  // namespace korvane::format
