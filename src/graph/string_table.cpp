// src/graph/string_table.cpp: interning of texts for the string table.
#include "graph/string_table.h"

#include <cstring>

#include "core/hashing.h"

namespace korvane::graph {

StringTable::StringTable() : index_of_(256, 0), seed_(next_map_seed()) {}

uint32_t StringTable::find(std::string_view text, uint64_t hash) const noexcept {
  const size_t mask = index_of_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    uint32_t slot = index_of_[i];
    if (slot == 0) return 0;
    const Span& s = spans_[slot - 1];
    if (s.hash == hash && s.length == text.size() &&
        std::memcmp(arena_.data() + s.offset, text.data(), text.size()) == 0)
      return slot;
  }
}

std::optional<uint32_t> StringTable::lookup(std::string_view text) const {
  uint32_t slot = find(text, hash_bytes(text.data(), text.size(), seed_));
  if (slot == 0) return std::nullopt;
  return slot - 1;
}

uint32_t StringTable::intern(std::string_view text) {
  const uint64_t hash = hash_bytes(text.data(), text.size(), seed_);
  if (uint32_t slot = find(text, hash)) return slot - 1;
  if ((spans_.size() + 1) * 2 > index_of_.size()) grow_index();
  const auto index = static_cast<uint32_t>(spans_.size());
  spans_.push_back(Span{arena_.size(), hash, static_cast<uint32_t>(text.size())});
  arena_.put_bytes(text.data(), text.size());
  const size_t mask = index_of_.size() - 1;
  size_t i = hash & mask;
  while (index_of_[i] != 0) i = (i + 1) & mask;
  index_of_[i] = index + 1;
  return index;
}

void StringTable::grow_index() {
  std::vector<uint32_t> bigger(index_of_.size() * 2, 0);
  const size_t mask = bigger.size() - 1;
  for (uint32_t slot : index_of_) {
    if (slot == 0) continue;
    size_t i = spans_[slot - 1].hash & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = slot;
  }
  index_of_ = std::move(bigger);
}

}  // namespace korvane::graph
