// src/core/buffer.cpp: the per-thread spare buffers.
#include "core/buffer.h"

namespace korvane {

namespace {
thread_local ByteBuffer t_spare[static_cast<size_t>(SpareSlot::Count)];
}  // namespace

ByteBuffer SpareBuffer::take(SpareSlot slot) noexcept {
  ByteBuffer buffer = std::move(t_spare[static_cast<size_t>(slot)]);
  buffer.clear();
  return buffer;
}

void SpareBuffer::give(ByteBuffer&& buffer, SpareSlot slot) noexcept {
  ByteBuffer& spare = t_spare[static_cast<size_t>(slot)];
  if (buffer.capacity() <= kMaxSpare && buffer.capacity() > spare.capacity())
    spare = std::move(buffer);
}

}  // namespace korvane
