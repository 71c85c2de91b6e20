// src/format/string_table.cpp: interning of texts for the string table.
#include "format/string_table.h"

#include "core/hashing.h"

namespace korvane::format {

namespace {
constexpr size_t kFirstSlots = 256;
}  // namespace

StringTable::StringTable()
    : arena_(SpareBuffer::take(SpareSlot::StringArena)),
      spans_(SpareBuffer::take(SpareSlot::StringSpans)),
      index_(SpareBuffer::take(SpareSlot::StringIndex)),
      seed_(next_map_seed()) {
  resize_index(kFirstSlots);
}

StringTable::~StringTable() {
  SpareBuffer::give(std::move(arena_), SpareSlot::StringArena);
  SpareBuffer::give(std::move(spans_), SpareSlot::StringSpans);
  SpareBuffer::give(std::move(index_), SpareSlot::StringIndex);
}

uint32_t StringTable::find(std::string_view text, uint32_t hash) const noexcept {
  for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const uint32_t number = slot(i);
    if (number == 0) return 0;
    const Span s = span(number - 1);
    if (s.hash == hash && s.length == text.size() &&
        std::memcmp(arena_.data() + s.offset, text.data(), text.size()) == 0)
      return number;
  }
}

void StringTable::place(uint32_t hash, uint32_t number) noexcept {
  size_t i = hash & mask_;
  while (slot(i) != 0) i = (i + 1) & mask_;
  index_.set_u32(4 * i, number);
}

std::optional<uint32_t> StringTable::lookup(std::string_view text) const {
  const uint32_t number =
      find(text, static_cast<uint32_t>(hash_bytes(text.data(), text.size(), seed_)));
  if (number == 0) return std::nullopt;
  return number - 1;
}

uint32_t StringTable::intern(std::string_view text) {
  const auto hash = static_cast<uint32_t>(hash_bytes(text.data(), text.size(), seed_));
  size_t i = hash & mask_;
  for (;; i = (i + 1) & mask_) {
    const uint32_t number = slot(i);
    if (number == 0) break;
    const Span s = span(number - 1);
    if (s.hash == hash && s.length == text.size() &&
        std::memcmp(arena_.data() + s.offset, text.data(), text.size()) == 0)
      return number - 1;
  }
  const uint32_t index = count_++;
  ByteBuffer::store(spans_.extend(sizeof(Span)),
                    Span{arena_.size(), static_cast<uint32_t>(text.size()), hash});
  arena_.put_bytes(text.data(), text.size());
  // The probe stopped at the free slot for the new text, unless the index
  // must grow first (which places every text, the new one included).
  if (size_t{count_} * 2 > mask_ + 1) resize_index(2 * (mask_ + 1));
  else index_.set_u32(4 * i, index + 1);
  return index;
}

// Clears the index at its new size and places every text again from its
// kept hash, in table order; the old slots are not needed for that.
void StringTable::resize_index(size_t slots) {
  index_.clear();
  std::memset(index_.extend(4 * slots), 0, 4 * slots);
  mask_ = slots - 1;
  for (uint32_t i = 0; i < count_; ++i) place(span(i).hash, i + 1);
}

}  // namespace korvane::format
