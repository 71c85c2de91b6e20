// src/format/analysis.h: what the reconstruction needs to know about a parsed
// document before and while it builds, found without the interpreter.
#pragma once

#include <cstdint>
#include <vector>

#include "core/result.h"
#include "format/reader.h"

namespace korvane::format {

// Would a build that visits entries in writer order (pre-order, each reached
// once directly, a Reference only back to a finished entry or an open
// container) meet every entry where it expects it? False is always safe: the
// caller then builds the slower way that memoises everything. Nesting deeper
// than any build could go gives false.
bool in_canonical_order(const ParsedDocument& doc);

// The error for a cycle that passes through Dataclass entries (and
// References) alone and that object 0 reaches: its entries would be built
// again and again, as an instance is remembered only once it is finished.
Result<void> check_dataclass_cycles(const ParsedDocument& doc);

// Hashing a tuple hashes each element again however often it is shared, so
// a few hundred bytes of tuples nested two by two would take exponential
// time to hash as a key. Before a key or set element is hashed, its expanded
// size (shared parts counted once per reference) is compared with the number
// of distinct entries it holds: a large key that expands far beyond its
// entries is refused. Keys without internal sharing hash in linear time and
// always pass, however often they are used. Sizes are cached per entry, so
// charging every key of a document costs linear time in all.
class HashBudget {
 public:
  static constexpr uint64_t kSmallKey = 1024;    // expanded sizes up to this always pass
  static constexpr uint64_t kMaxExpansion = 64;  // allowed expanded size per distinct entry

  explicit HashBudget(const ParsedDocument& doc) : doc_(doc) {}

  // Child number `n` is about to be hashed as a key or set element.
  Result<void> charge(uint32_t n);

  // Does hashing the entry that child number `n` stands for reach a
  // Dataclass entry (whose hashing may run code)? An entry that ends
  // nowhere, or that is met again while its own walk is open, counts as one.
  bool reaches_dataclass(uint32_t n);

 private:
  uint64_t expanded_size(uint32_t root);
  uint64_t distinct_entries(uint32_t root, uint64_t limit);

  const ParsedDocument& doc_;
  std::vector<uint64_t> sizes_;    // expanded sizes of hashable containers, 0 unknown
  std::vector<bool> checked_;      // large keys found to hash in linear time
  std::vector<uint32_t> seen_;     // stamps of the walk counting distinct entries
  uint32_t stamp_ = 0;
  std::vector<uint8_t> reaches_;   // per entry: 0 unknown, 1 busy, 2 no, 3 yes
};

}  // namespace korvane::format
