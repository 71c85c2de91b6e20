// src/core/buffer.h: one growing byte buffer with little-endian writers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <bit>  // std::endian
#include <utility>

namespace korvane {

// Asks for transparent huge pages over the 2 MiB-aligned interior of a large
// block about to be written in full, such as a document or a big bytes value:
// one fault then maps 2 MiB instead of 4 KiB. Blocks under 32 MiB are left
// alone: the allocator may hand those out again warm from its heap, where
// the hint only splits its mappings. A system without huge pages ignores it.
void advise_huge_pages(void* data, size_t size) noexcept;

// Grows by 1.5x through realloc, which moves large blocks by remapping pages
// instead of copying them. Bytes are never zero-filled: fresh pages cost.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(size_t capacity) { reserve(capacity); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~ByteBuffer() { std::free(data_); }

  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  std::span<const uint8_t> bytes() const noexcept { return {data_, size_}; }

  size_t capacity() const noexcept { return cap_; }
  void clear() noexcept { size_ = 0; }

  void reserve(size_t capacity) {
    if (capacity > cap_) regrow(capacity);
  }

  // Appends `n` uninitialised bytes and returns where they start.
  uint8_t* extend(size_t n) {
    if (n > cap_ - size_) expand(n);
    uint8_t* p = data_ + size_;
    size_ += n;
    return p;
  }

  void put_u8(uint8_t v) { *extend(1) = v; }
  void put_u16(uint16_t v) { store(extend(2), v); }
  void put_u32(uint32_t v) { store(extend(4), v); }
  void put_u64(uint64_t v) { store(extend(8), v); }
  void put_bytes(const void* p, size_t n) {
    if (n) std::memcpy(extend(n), p, n);
  }

  // Gives the pages that lie wholly inside [from, to) back to the system,
  // for a buffer whose bytes there were copied out and are not needed again;
  // they read as zero afterwards. Cheaper than copying and then freeing when
  // the copy would otherwise double the memory in use.
  void discard(size_t from, size_t to) noexcept;

  // Lets the kernel take the block's whole pages back when memory is tight;
  // until it does they stay mapped. Their bytes are then unspecified.
  void mark_free() noexcept;

  // Gives back the last `n` bytes (set aside by `extend` and left unused).
  void drop_back(size_t n) noexcept { size_ -= n; }

  void set_u32(size_t offset, uint32_t v) noexcept { store(data_ + offset, v); }

  // Opens `n` bytes at `offset`, moving the tail up; the gap is uninitialised.
  void insert_gap(size_t offset, size_t n) {
    extend(n);
    std::memmove(data_ + offset + n, data_ + offset, size_ - n - offset);
  }
  // Removes `n` bytes at `offset`, moving the tail down.
  void erase(size_t offset, size_t n) noexcept {
    std::memmove(data_ + offset, data_ + offset + n, size_ - offset - n);
    size_ -= n;
  }

  template <class T>
  static void store(uint8_t* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);  // the supported hosts are little-endian
  }

 private:
  void expand(size_t n) {
    size_t need = size_ + n;
    size_t grown = cap_ + cap_ / 2;
    regrow(need > grown ? need : (grown < 256 ? 256 : grown));
  }
  void regrow(size_t capacity) {
    void* p = std::realloc(data_, capacity);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    cap_ = capacity;
  }

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// Spare buffers, a few per thread, one per use. A large block freed at the
// end of a call makes glibc trim the heap, and the next call faults the same
// pages in again (about a microsecond a page); keeping the blocks warm for
// the next call avoids that. Blocks up to kMaxSpare are kept as they are.
// The object table's block is kept up to kMaxWarm; above kMaxSpare its pages
// are marked free (MADV_FREE) when it is given back: they stay mapped and
// warm, so the next call writes them without a fault, but the kernel may
// take them whenever memory is tight, and a page it took reads as zero and
// costs one fault again.
enum class SpareSlot : uint8_t { Objects, StringArena, StringSpans, StringIndex, Count };

class SpareBuffer {
 public:
  static constexpr size_t kMaxSpare = size_t{4} << 20;
  static constexpr size_t kMaxWarm = size_t{64} << 20;
  // The largest block `slot` keeps between calls.
  static constexpr size_t limit(SpareSlot slot) noexcept {
    return slot == SpareSlot::Objects ? kMaxWarm : kMaxSpare;
  }
  // The spare of `slot`, emptied, or a fresh buffer.
  static ByteBuffer take(SpareSlot slot = SpareSlot::Objects) noexcept;
  // Keeps `buffer` as the spare of `slot` when it is small enough.
  static void give(ByteBuffer&& buffer, SpareSlot slot = SpareSlot::Objects) noexcept;
};

static_assert(std::endian::native == std::endian::little,
              "the byte format is little-endian and written by memcpy");

}  // namespace korvane
