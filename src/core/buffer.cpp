// src/core/buffer.cpp: the per-thread spare buffer.
#include "core/buffer.h"

namespace korvane {

namespace {
thread_local ByteBuffer t_spare;
}  // namespace

ByteBuffer SpareBuffer::take() noexcept {
  ByteBuffer buffer = std::move(t_spare);
  buffer.clear();
  return buffer;
}

void SpareBuffer::give(ByteBuffer&& buffer) noexcept {
  if (buffer.capacity() <= kMaxSpare && buffer.capacity() > t_spare.capacity())
    t_spare = std::move(buffer);
}

}  // namespace korvane
