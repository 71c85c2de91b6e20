// src/format/object_table.cpp: appending and reserving encoded entries.
#include "format/object_table.h"

namespace korvane::format {

Result<void> ObjectTable::check_limits() const {
  if (overflowed_)
    return overflow_error("too many objects to encode: the format holds at most 4294967295");
  return Ok();
}

Result<uint32_t> ObjectTable::push_bytes(std::span<const uint8_t> data, bool borrow) {
  if (data.size() > kMaxLength)
    return overflow_error("bytes value of " + std::to_string(data.size()) +
                          " bytes is too long to encode (at most 4294967295)");
  const uint32_t n = next_number();
  uint8_t* p = objects_.extend(5);
  p[0] = kTagBytes;
  ByteBuffer::store(p + 1, static_cast<uint32_t>(data.size()));
  if (borrow) {
    splices_.push_back(Splice{objects_.size(), data});
    spliced_bytes_ += data.size();
  } else {
    objects_.put_bytes(data.data(), data.size());
  }
  return n;
}

Slots ObjectTable::reserve_dataclass(uint32_t count, uint16_t type_id) {
  const uint32_t n = next_number();
  uint8_t* p = objects_.extend(5);
  p[0] = kTagDataclass;
  ByteBuffer::store(p + 1, type_id);
  ByteBuffer::store(p + 3, static_cast<uint16_t>(count));
  Slots s{n, count, objects_.size() - 2, objects_.size()};
  objects_.extend(4 * size_t{count});
  return s;
}

void ObjectTable::resize(Slots& slots, uint32_t slot_count, uint32_t item_count) {
  const size_t end = slots.first + 4 * size_t{slots.count};
  if (slot_count < slots.count) {
    objects_.erase(slots.first + 4 * size_t{slot_count}, 4 * size_t{slots.count - slot_count});
  } else if (slot_count > slots.count) {
    objects_.insert_gap(end, 4 * size_t{slot_count - slots.count});
  }
  // Bytes spliced in after this entry moved with the tail.
  const auto shift = static_cast<ptrdiff_t>(4 * (int64_t{slot_count} - slots.count));
  for (auto& sp : splices_)
    if (sp.offset >= end) sp.offset = static_cast<size_t>(static_cast<ptrdiff_t>(sp.offset) + shift);
  slots.count = slot_count;
  objects_.set_u32(slots.count_at, item_count);
}

}  // namespace korvane::format
