// src/format/reader.cpp: one pass over the input, every read bounds-checked.
#include "format/reader.h"

#include <algorithm>
#include <cstring>

#include "format/format.h"
#include "format/utf8.h"

namespace korvane::format {

// The reader's view of the words of a parsed document: the flag bits are
// known here and nowhere else.
class ReaderDetail {
 public:
  static constexpr uint64_t kRefBit = ParsedDocument::kRefBit;
  static constexpr uint64_t kRefLoop = ParsedDocument::kRefLoop;
  static constexpr uint64_t kRefMissing = ParsedDocument::kRefMissing;
  static constexpr uint64_t kTargetBit = ParsedDocument::kTargetBit;
  static WordArray& words(ParsedDocument& doc) noexcept { return doc.objects_; }
};

namespace {

constexpr uint64_t kRefBit = ReaderDetail::kRefBit;
constexpr uint64_t kRefLoop = ReaderDetail::kRefLoop;
constexpr uint64_t kRefMissing = ReaderDetail::kRefMissing;
constexpr uint64_t kTargetBit = ReaderDetail::kTargetBit;

Error invalid(const char* what) { return value_error(std::string("Invalid data: ") + what); }

class Cursor {
 public:
  Cursor(std::span<const uint8_t> in, size_t pos) : in_(in), pos_(pos) {}
  size_t pos() const noexcept { return pos_; }
  size_t left() const noexcept { return in_.size() - pos_; }
  bool has(size_t n) const noexcept { return n <= left(); }
  template <class T>
  T take() noexcept {  // callers check has(sizeof(T)) first
    T v;
    std::memcpy(&v, in_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return v;
  }
  template <class T>
  bool read(T& v) noexcept {
    if (!has(sizeof v)) return false;
    v = take<T>();
    return true;
  }
  void skip(size_t n) noexcept { pos_ += n; }

 private:
  std::span<const uint8_t> in_;
  size_t pos_;
};

Result<void> check_header(std::span<const uint8_t> in) {
  const size_t len = in.size();
  if (len < 4) return invalid("too short for header");
  if (std::memcmp(in.data(), kMagic, 4) != 0 && std::memcmp(in.data(), kLegacyMagic, 4) != 0)
    return value_error("Invalid magic bytes");
  if (len < 6) return invalid("too short for version");
  if (len < 10) return invalid("too short for schema version");
  if (len == 10) return invalid("too short for flags");
  if (len < 15) return invalid("no string count");
  return Ok();
}

std::optional<Error> utf8_error(const uint8_t* text, size_t length) {
  if (auto fault = check_utf8(text, length))
    return value_error("Invalid UTF-8 in string table: " + fault->describe());
  return std::nullopt;
}

Result<void> read_strings(Cursor& c, ParsedDocument& doc, bool check) {
  const uint32_t count = c.take<uint32_t>();  // the header check saw 15 bytes
  const size_t bound = std::min<size_t>(count, c.left() / 4);
  doc.strings.reserve(bound);
  doc.string_lengths.reserve(bound);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length;
    if (!c.read(length)) return invalid("string length truncated");
    if (!c.has(length)) return invalid("string data truncated");
    if (check) {
      if (auto error = utf8_error(doc.input.data() + c.pos(), length)) return std::move(*error);
    }
    doc.strings.push_back(c.pos());
    doc.string_lengths.push_back(length);
    c.skip(length);
  }
  return Ok();
}

Result<void> read_types(Cursor& c, ParsedDocument& doc) {
  uint32_t count;
  if (!c.read(count)) return invalid("no type count");
  std::vector<std::string_view> fields;
  auto text_at = [&](uint32_t index) {
    return index < doc.string_count() ? doc.text(index) : std::string_view();
  };
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t type_id, field_count;
    uint32_t name_idx, version;
    if (!c.read(type_id)) return invalid("type_id truncated");
    if (!c.read(name_idx)) return invalid("type name_idx truncated");
    if (!c.read(version)) return invalid("schema_version truncated");
    if (!c.read(field_count)) return invalid("field_count truncated");
    const std::string_view name = text_at(name_idx);
    // A repeated name is dropped by the registry; check its bytes only.
    const bool keep = !doc.types.find(name);
    fields.clear();
    for (uint32_t f = 0; f < field_count; ++f) {
      uint32_t index;
      if (!c.read(index)) return invalid("field index truncated");
      if (keep) fields.push_back(text_at(index));
    }
    if (keep) (void)doc.types.register_type(name, fields, version);
  }
  return Ok();
}

using layout::u32_at;

constexpr uint64_t kRaw = 1ull << 59;  // a Reference entry still holding its offset
constexpr uint64_t kPending = kRefBit | (1ull << 60);

// Checks every object entry and records where each starts. Gives the
// truncation message of the first missing piece, or null.
// Hot loop: it reads the entry bytes and the words raw, without the layout
// accessors, since it runs once per object of every document loaded.
const char* read_objects(ParsedDocument& doc, const uint8_t* p, uint32_t count,
                         std::vector<uint32_t>& refs, uint8_t& bad_tag) {
  const uint8_t* const base = doc.input.data();
  const uint8_t* const end = base + doc.input.size();
  // Every entry takes at least its tag byte, so the array has room.
  // The array's size is set when parsing succeeds or meets an unknown tag;
  // after a truncation the document is dropped anyway.
  WordArray& table = ReaderDetail::words(doc);
  uint64_t* const words = table.data();
  for (uint32_t i = 0; i < count; ++i) {
    if (p == end) return "tag truncated";
    const uint8_t tag = *p;
    // References outnumber every other kind in documents with much sharing
    // (a repeated key is one): the usual one, back to an entry already
    // read, is resolved here without the general dispatch.
    if (tag == kTagReference && end - p > 4) {
      const uint32_t target = u32_at(p + 1);
      if (target < i && !(words[target] & kRefBit)) {
        words[target] |= kTargetBit;
        words[i] = kRefBit | target;
        p += 5;
        continue;
      }
    }
    words[i] = static_cast<uint64_t>(p - base);
    ++p;
    const size_t left = static_cast<size_t>(end - p);
    switch (tag) {
      case kTagNone:
      case kTagTrue:
      case kTagFalse:
        break;
      case kTagInt: {
        if (left >= 10) {
          uint64_t word;
          std::memcpy(&word, p, 8);
          if (const uint64_t stops = varint_stops(word)) {
            p += short_varint_size(stops);
            break;
          }
          if (!(p[8] & 0x80)) {
            p += 9;
            break;
          }
          if (p[9] & 0x80) return "int truncated";  // the tenth byte continues
          p += 10;
          break;
        }
        size_t k = 0;
        for (;;) {
          if (k == left) return "int truncated";
          if (!(p[k++] & 0x80)) break;
          if (k == kMaxVarintSize) return "int truncated";  // tenth byte continues
        }
        p += k;
        break;
      }
      case kTagFloat:
        if (left < 8) return "float truncated";
        p += 8;
        break;
      case kTagStr:
        if (left < 4) return "string index truncated";
        p += 4;
        break;
      case kTagReference: {
        if (left < 4) return "reference truncated";
        // Not back to an entry: resolved once the table is read.
        p += 4;
        words[i] |= kRefBit | kRaw;
        refs.push_back(i);
        break;
      }
      case kTagBytes: {
        if (left < 4) return "bytes length truncated";
        const size_t n = u32_at(p);
        if (left - 4 < n) return "bytes data truncated";
        p += 4 + n;
        break;
      }
      case kTagDict: {
        if (left < 4) return "dict count truncated";
        const size_t n = u32_at(p);
        const size_t room = left - 4;
        // The first missing piece is a key when an even number of u32s fit.
        if (room / 8 < n) return room / 4 % 2 == 0 ? "dict key truncated" : "dict value truncated";
        p += 4 + 8 * n;
        break;
      }
      case kTagDataclass: {
        if (left < 2) return "dataclass type_id truncated";
        if (left < 4) return "dataclass field_count truncated";
        uint16_t n;
        std::memcpy(&n, p + 2, 2);
        if ((left - 4) / 4 < n) return "dataclass field truncated";
        p += 4 + 4 * size_t{n};
        ++doc.dataclass_entries;
        break;
      }
      case kTagList:
      case kTagTuple:
      case kTagSet:
      case kTagFrozenSet: {
        const bool list = tag == kTagList || tag == kTagTuple;
        if (left < 4) return list ? "list count truncated" : "set count truncated";
        const size_t n = u32_at(p);
        if ((left - 4) / 4 < n) return list ? "list ref truncated" : "set ref truncated";
        p += 4 + 4 * n;
        break;
      }
      default:
        bad_tag = tag;
        table.set_size(i);
        return nullptr;
    }
  }
  table.set_size(count);
  return nullptr;
}

Error unknown_tag(uint8_t tag) {
  static const char hex[] = "0123456789ABCDEF";
  return value_error(std::string("Unknown tag: 0x") + hex[tag >> 4] + hex[tag & 15]);
}

// Replaces every Reference entry by the end of its chain: the first entry
// that is not a Reference, a number past the table, or a loop marker. Each
// entry is walked once; entries met on the current walk are marked pending.
// `refs` lists the Reference entries in table order that the entry loop did
// not resolve itself (it resolves those naming an earlier non-Reference).
void resolve_references(ParsedDocument& doc, const std::vector<uint32_t>& refs) {
  WordArray& objects = ReaderDetail::words(doc);
  const uint64_t count = objects.size();
  std::vector<uint32_t> chain;
  for (const uint32_t start : refs) {
    const uint64_t first = objects[start];
    if (!(first & kRaw)) continue;  // resolved as part of an earlier chain
    const uint64_t target = layout::reference_target(doc.input.data() + (first & ~(kRefBit | kRaw)));
    if (target < count && !(objects[target] & kRefBit)) {
      // The usual case: a Reference straight to an entry.
      objects[target] |= kTargetBit;
      objects[start] = kRefBit | target;
      continue;
    }
    chain.clear();
    uint64_t n = start, end;
    for (;;) {
      if (n >= count) {
        end = kRefMissing | n;
        break;
      }
      const uint64_t w = objects[n];
      if (!(w & kRefBit)) {
        end = kRefBit | n;
        objects[n] |= kTargetBit;
        break;
      }
      if (w == kPending) {
        end = kRefLoop;
        break;
      }
      if (!(w & kRaw)) {
        end = w;  // resolved on an earlier walk
        break;
      }
      chain.push_back(static_cast<uint32_t>(n));
      objects[n] = kPending;
      n = layout::reference_target(doc.input.data() + (w & ~(kRefBit | kRaw)));
    }
    for (uint32_t link : chain) objects[link] = end;
  }
}

}  // namespace

GraphNode ParsedDocument::node(uint32_t n) const noexcept {
  const uint8_t* p = at(n);
  GraphNode node;
  const uint8_t tag = layout::tag(p);
  switch (tag) {
    case kTagNone: node.kind = NodeKind::None; break;
    case kTagTrue:
    case kTagFalse:
      node.kind = NodeKind::Bool;
      node.boolean = tag == kTagTrue;
      break;
    case kTagInt:
      node.kind = NodeKind::Int;
      node.integer = layout::int_value(p, input.data() + input.size());
      break;
    case kTagFloat:
      node.kind = NodeKind::Float;
      node.real = layout::float_value(p);
      break;
    case kTagStr:
      node.kind = NodeKind::Str;
      node.index = layout::str_index(p);
      break;
    case kTagDataclass:
      node.kind = NodeKind::Dataclass;
      node.type_id = layout::type_id(p);
      node.count = layout::count(p);
      node.data = layout::payload(p);
      break;
    default:  // Bytes and the containers, in tag order
      node.kind = static_cast<NodeKind>(static_cast<int>(NodeKind::Bytes) + (tag - kTagBytes));
      node.count = layout::count(p);
      node.data = layout::payload(p);
      break;
  }
  return node;
}

std::optional<Error> text_fault(const ParsedDocument& doc, uint32_t index) {
  const std::string_view text = doc.text(index);
  return utf8_error(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

namespace {

// The fault of the first text read so far that is not UTF-8, if any.
std::optional<Error> first_text_fault(const ParsedDocument& doc) {
  for (uint32_t i = 0; i < doc.string_count(); ++i)
    if (auto fault = text_fault(doc, i)) return fault;
  return std::nullopt;
}

Result<void> read_rest(Cursor& c, ParsedDocument& doc) {
  KV_TRY(read_types(c, doc));
  uint32_t count;
  if (!c.read(count)) return invalid("no object count");
  ReaderDetail::words(doc).allocate(std::min<size_t>(count, c.left()));
  std::vector<uint32_t> refs;
  uint8_t bad_tag = 0;
  if (const char* missing = read_objects(doc, doc.input.data() + c.pos(), count, refs, bad_tag))
    return invalid(missing);
  if (bad_tag || doc.object_count() < count) return unknown_tag(bad_tag);
  if (!refs.empty()) resolve_references(doc, refs);
  return Ok();
}

}  // namespace

Result<ParsedDocument> read_document(std::span<const uint8_t> input, TextCheck texts) {
  KV_TRY(check_header(input));
  ParsedDocument doc(input);
  Cursor c(input, kHeaderSize);
  const bool deferred = texts == TextCheck::Caller;
  Result<void> parsed = read_strings(c, doc, !deferred);
  if (parsed) parsed = read_rest(c, doc);
  // Unchecked texts come before any other error: the reader reads them first.
  if (deferred && (!parsed || doc.dataclass_entries > 0)) {
    if (auto fault = first_text_fault(doc)) return std::move(*fault);
  }
  if (!parsed) return std::move(parsed).error();
  doc.texts_unchecked = deferred && doc.dataclass_entries == 0;
  return doc;
}

}  // namespace korvane::format
