// src/format/object_table.h: the object table, built as its encoded bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/buffer.h"
#include "core/result.h"
#include "format/entry.h"
#include "format/format.h"

namespace korvane::format {

// A reserved container entry whose child numbers are filled in as the
// children are captured. Offsets, not pointers: the table may move.
struct Slots {
  uint32_t number;
  uint32_t count;     // slots reserved (pairs count double)
  size_t count_at;    // offset of the entry's count field
  size_t first;       // offset of the first slot
};

// The object table is kept as its encoded bytes, entries appended in
// pre-order: a container's tag, count and child slots are written when it is
// reserved and its slots filled when its children are done. That keeps the
// capture at a few bytes per object instead of a heap node each.
class ObjectTable {
 public:
  // The table's bytes come from, and go back to, the thread's spare buffer.
  ObjectTable() : objects_(SpareBuffer::take()) { objects_.reserve(16 * 1024); }
  ~ObjectTable() { SpareBuffer::give(std::move(objects_)); }
  ObjectTable(const ObjectTable&) = delete;
  ObjectTable& operator=(const ObjectTable&) = delete;


  uint32_t object_count() const noexcept { return count_; }
  const ByteBuffer& objects() const noexcept { return objects_; }
  // The table's bytes before `end` were copied out and are not read again.
  // A table too large to be kept warm for the next call gives their pages
  // back, so that it and the document are not both whole in memory.
  void copied_out(size_t end) noexcept {
    if (objects_.capacity() > SpareBuffer::limit(SpareSlot::Objects)) objects_.discard(0, end);
  }

  // Scalars and references: append a filled entry and give its number.
  // Numbers past the format's limit are caught once, by `check_limits`.
  uint32_t push_none() { return push_tag(kTagNone); }
  uint32_t push_bool(bool v) { return push_tag(v ? kTagTrue : kTagFalse); }
  uint32_t push_int(int64_t v) {
    uint8_t* p = objects_.extend(1 + kMaxVarintSize);
    p[0] = kTagInt;
    objects_.drop_back(kMaxVarintSize - encode_varint(p + 1, v));
    return next_number();
  }
  uint32_t push_float(double v) {
    uint8_t* p = objects_.extend(9);
    p[0] = kTagFloat;
    ByteBuffer::store(p + 1, float_bits(v));
    return next_number();
  }
  uint32_t push_str(uint32_t index) { return push_u32(kTagStr, index); }
  uint32_t push(uint32_t reference_target) {
    return push_u32(kTagReference, reference_target);
  }
  // A bytes value; with `borrow`, the caller keeps `data` alive until the
  // document is written and it is copied only once, straight into the output.
  Result<uint32_t> push_bytes(std::span<const uint8_t> data, bool borrow);

  // An error when the graph holds more objects than the format can number.
  Result<void> check_limits() const;

  // Reserves a container entry with `count` items (Dict: pairs).
  Slots reserve(NodeKind kind, uint32_t count, uint16_t type_id = 0) {
    if (kind == NodeKind::Dataclass) return reserve_dataclass(count, type_id);
    const uint32_t n = next_number();
    const uint32_t slots = kind == NodeKind::Dict ? 2 * count : count;
    uint8_t* p = objects_.extend(5 + 4 * size_t{slots});
    p[0] = static_cast<uint8_t>(kTagList + (static_cast<int>(kind) - static_cast<int>(NodeKind::List)));
    ByteBuffer::store(p + 1, count);
    const size_t count_at = objects_.size() - 4 * size_t{slots} - 4;
    return Slots{n, slots, count_at, count_at + 4};
  }
  void fill(const Slots& slots, uint32_t slot, uint32_t number) noexcept {
    objects_.set_u32(slots.first + 4 * size_t{slot}, number);
  }
  // Changes the item count of the most recent open container whose children
  // are all complete (a list that shrank or a set that yielded more).
  void resize(Slots& slots, uint32_t slot_count, uint32_t item_count);

  // Large bytes values written by reference: (offset in the table, data).
  struct Splice {
    size_t offset;
    std::span<const uint8_t> data;
  };
  const std::vector<Splice>& splices() const noexcept { return splices_; }
  uint64_t spliced_bytes() const noexcept { return spliced_bytes_; }

 private:
  uint32_t next_number() noexcept {
    if (count_ == UINT32_MAX) overflowed_ = true;
    return count_++;
  }
  Slots reserve_dataclass(uint32_t count, uint16_t type_id);
  uint32_t push_tag(uint8_t tag) {
    objects_.put_u8(tag);
    return next_number();
  }
  uint32_t push_u32(uint8_t tag, uint32_t v) {
    uint8_t* p = objects_.extend(5);
    p[0] = tag;
    ByteBuffer::store(p + 1, v);
    return next_number();
  }

  ByteBuffer objects_;
  uint32_t count_ = 0;
  bool overflowed_ = false;
  std::vector<Splice> splices_;
  uint64_t spliced_bytes_ = 0;
};

}  // namespace korvane::format
