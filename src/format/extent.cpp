// src/format/extent.cpp: sizes the items of a document as its bytes arrive.
#include "format/extent.h"

#include <cstring>

#include "format/format.h"

namespace korvane::format {

namespace {

uint64_t u16_at(std::span<const uint8_t> in, uint64_t at) noexcept {
  uint16_t v;
  std::memcpy(&v, in.data() + at, 2);
  return v;
}

uint64_t u32_at(std::span<const uint8_t> in, uint64_t at) noexcept {
  uint32_t v;
  std::memcpy(&v, in.data() + at, 4);
  return v;
}

}  // namespace

DocumentExtent::Item DocumentExtent::item(std::span<const uint8_t> in) const noexcept {
  const uint64_t size = in.size();
  // An item whose size is told by a count of `width`-byte units at `count_at`
  // (a u32, or a u16 when `short_count`), after a fixed part of `fixed` bytes.
  auto counted = [&](uint64_t fixed, uint64_t count_at, bool short_count, uint64_t width) {
    const uint64_t told = pos_ + count_at + (short_count ? 2 : 4);
    if (size < told) return Item{false, false, told};
    const uint64_t n = short_count ? u16_at(in, pos_ + count_at) : u32_at(in, pos_ + count_at);
    return Item{true, false, pos_ + fixed + width * n};
  };
  switch (phase_) {
    case Phase::Header:
      // The reader checks the magic first; past it, the length is unknowable.
      if (size >= 4 && std::memcmp(in.data(), kMagic, 4) != 0 &&
          std::memcmp(in.data(), kLegacyMagic, 4) != 0)
        return Item{false, true, 0};
      return Item{true, false, kHeaderSize + 4};
    case Phase::Strings:
      return counted(4, 0, false, 1);
    case Phase::TypeCount:
    case Phase::ObjectCount:
      return Item{true, false, pos_ + 4};
    case Phase::Types:
      return counted(12, 10, true, 4);
    case Phase::Objects:
      break;
  }
  if (size <= pos_) return Item{false, false, pos_ + 1};
  switch (in[pos_]) {
    case kTagNone:
    case kTagTrue:
    case kTagFalse:
      return Item{true, false, pos_ + 1};
    case kTagInt:
      for (uint64_t k = 0; k < kMaxVarintSize; ++k) {
        const uint64_t at = pos_ + 1 + k;
        if (at >= size) return Item{false, false, at + 1};
        if (!(in[at] & 0x80)) return Item{true, false, at + 1};
      }
      return Item{false, true, 0};  // the tenth byte continues: the reader refuses it
    case kTagFloat:
      return Item{true, false, pos_ + 9};
    case kTagStr:
    case kTagReference:
      return Item{true, false, pos_ + 5};
    case kTagBytes:
      return counted(5, 1, false, 1);
    case kTagList:
    case kTagTuple:
    case kTagSet:
    case kTagFrozenSet:
      return counted(5, 1, false, 4);
    case kTagDict:
      return counted(5, 1, false, 8);
    case kTagDataclass:
      return counted(5, 3, true, 4);
    default:
      return Item{false, true, 0};
  }
}

void DocumentExtent::consume(std::span<const uint8_t> in, uint64_t end) noexcept {
  switch (phase_) {
    case Phase::Header:
      left_ = u32_at(in, kHeaderSize);
      phase_ = Phase::Strings;
      break;
    case Phase::TypeCount:
      left_ = u32_at(in, pos_);
      phase_ = Phase::Types;
      break;
    case Phase::ObjectCount:
      left_ = u32_at(in, pos_);
      phase_ = Phase::Objects;
      break;
    default:
      --left_;
  }
  pos_ = end;
}

DocumentExtent::Step DocumentExtent::advance(std::span<const uint8_t> in) noexcept {
  for (;;) {
    if (left_ == 0) {
      if (phase_ == Phase::Strings) phase_ = Phase::TypeCount;
      if (phase_ == Phase::Types) phase_ = Phase::ObjectCount;
      if (phase_ == Phase::Objects) {
        const uint64_t length = pos_;
        *this = DocumentExtent();
        return {Status::Complete, length};
      }
    }
    const Item next = item(in);
    if (next.fault) {
      *this = DocumentExtent();
      return {Status::Fault, 0};
    }
    if (!next.sized || next.end > in.size())
      return {Status::NeedMore, next.end > in.size() ? next.end - in.size() : 1};
    consume(in, next.end);
  }
}

}  // namespace korvane::format
