// src/format/entry.h: the kinds of object-table entries, the decoded view of
// one entry, and the one reader of an entry's payload bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "format/format.h"

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

// The child numbers a node holds: two per Dict pair, one per item or field.
inline uint32_t child_count(const GraphNode& node) noexcept {
  switch (node.kind) {
    case NodeKind::List:
    case NodeKind::Tuple:
    case NodeKind::Set:
    case NodeKind::FrozenSet:
    case NodeKind::Dataclass: return node.count;
    case NodeKind::Dict: return 2 * node.count;
    default: return 0;
  }
}

// The payload of an entry, read at its tag byte `p` after the reader has
// checked that the whole entry lies inside the input. Every reader of
// entry bytes goes through these, except the reader's own marked hot loop.
namespace layout {

inline uint32_t u32_at(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint16_t u16_at(const uint8_t* p) noexcept {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline uint8_t tag(const uint8_t* p) noexcept { return p[0]; }
// Int: `end` bounds the readable bytes.
inline int64_t int_value(const uint8_t* p, const uint8_t* end) noexcept {
  return decode_varint(p + 1, end);
}
inline double float_value(const uint8_t* p) noexcept {
  uint64_t bits;
  std::memcpy(&bits, p + 1, 8);
  return bits_float(bits);
}
inline uint32_t str_index(const uint8_t* p) noexcept { return u32_at(p + 1); }
inline uint32_t reference_target(const uint8_t* p) noexcept { return u32_at(p + 1); }
inline uint16_t type_id(const uint8_t* p) noexcept { return u16_at(p + 1); }  // Dataclass
// Bytes: its length; List, Tuple, Set, FrozenSet: items; Dict: pairs;
// Dataclass: fields.
inline uint32_t count(const uint8_t* p) noexcept {
  return p[0] == kTagDataclass ? u16_at(p + 3) : u32_at(p + 1);
}
// The bytes of a Bytes entry or the children of a container or dataclass.
inline const uint8_t* payload(const uint8_t* p) noexcept { return p + 5; }
// The child numbers after the tag: two per Dict pair, none for scalars.
inline uint32_t slot_count(const uint8_t* p) noexcept {
  switch (p[0]) {
    case kTagList:
    case kTagTuple:
    case kTagSet:
    case kTagFrozenSet:
    case kTagDataclass: return count(p);
    case kTagDict: return 2 * count(p);
    default: return 0;
  }
}

}  // namespace layout

}  // namespace korvane::format
