// src/core/buffer.cpp: the per-thread spare buffers.
#include "core/buffer.h"

#include <sys/mman.h>
#include <unistd.h>

namespace korvane {

namespace {
thread_local ByteBuffer t_spare[static_cast<size_t>(SpareSlot::Count)];
const uintptr_t kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
}  // namespace

void ByteBuffer::discard(size_t from, size_t to) noexcept {
  if (to > size_ || from >= to) return;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data_ + from) + kPage - 1) & ~(kPage - 1);
  const uintptr_t last = reinterpret_cast<uintptr_t>(data_ + to) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void advise_huge_pages(void* data, size_t size) noexcept {
  constexpr uintptr_t kHuge = uintptr_t{1} << 21;
  constexpr size_t kFreshFrom = size_t{32} << 20;
  if (size < kFreshFrom) return;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + size) & ~(kHuge - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

ByteBuffer SpareBuffer::take(SpareSlot slot) noexcept {
  ByteBuffer buffer = std::move(t_spare[static_cast<size_t>(slot)]);
  buffer.clear();
  return buffer;
}

void SpareBuffer::give(ByteBuffer&& buffer, SpareSlot slot) noexcept {
  ByteBuffer& spare = t_spare[static_cast<size_t>(slot)];
  if (buffer.capacity() > limit(slot) || buffer.capacity() <= spare.capacity()) return;
  if (buffer.capacity() > kMaxSpare) buffer.mark_free();
  spare = std::move(buffer);
}

void ByteBuffer::mark_free() noexcept {
#ifdef MADV_FREE
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data_) + kPage - 1) & ~(kPage - 1);
  const uintptr_t last = reinterpret_cast<uintptr_t>(data_ + cap_) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_FREE);
#endif
}

}  // namespace korvane
