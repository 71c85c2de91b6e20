// src/format/writer.cpp: header, string table, type table and object table.
#include "format/writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/format.h"

namespace korvane::format {

namespace {

class Cursor {
 public:
  explicit Cursor(uint8_t* p) : p_(p) {}
  template <class T>
  void put(T v) noexcept {
    std::memcpy(p_, &v, sizeof v);
    p_ += sizeof v;
  }
  void put_bytes(const void* data, size_t n) noexcept {
    if (n) std::memcpy(p_, data, n);
    p_ += n;
  }

 private:
  uint8_t* p_;
};

}  // namespace

Result<uint64_t> prepare_document(StringTable& strings, const ObjectTable& table,
                                  const TypeRegistry& types) {
  KV_TRY(table.check_limits());
  if (types.size() > kMaxTypes)
    return overflow_error("too many dataclass types to encode: the format holds at most 65536");
  uint64_t type_bytes = 4;
  for (const auto& entry : types.entries()) {
    if (entry.field_names.size() > kMaxFields)
      return overflow_error("dataclass " + std::string(entry.name) +
                            " has too many fields to encode (at most 65535)");
    strings.intern(entry.name);
    for (const auto& field : entry.field_names) strings.intern(field);
    type_bytes += 12 + 4 * entry.field_names.size();
  }
  const uint64_t string_bytes = 4 + 4 * uint64_t{strings.size()} + strings.text_bytes();
  return kHeaderSize + string_bytes + type_bytes + 4 + table.objects().size() +
         table.spliced_bytes();
}

namespace {

// Copying gives source pages back every this many bytes.
constexpr size_t kCopyChunk = size_t{1} << 20;

// Copies table bytes [from, to) out, telling the table what it has copied.
void copy_table(Cursor& c, ObjectTable& table, size_t from, size_t to) noexcept {
  const uint8_t* bytes = table.objects().data();
  while (from < to) {
    const size_t n = std::min(to - from, kCopyChunk);
    c.put_bytes(bytes + from, n);
    from += n;
    table.copied_out(from);
  }
}

}  // namespace

void write_prepared(StringTable& strings, ObjectTable& table, const TypeRegistry& types,
                    std::span<uint8_t> out) {
  Cursor c(out.data());
  c.put_bytes(kMagic, 4);
  c.put(kVersion);
  c.put(uint32_t{0});
  c.put(uint8_t{0});

  // The type table names texts by index: look them up while the texts are
  // all still there, as copying them out may give their pages back.
  std::vector<uint32_t> type_texts;
  for (const auto& entry : types.entries()) {
    type_texts.push_back(*strings.lookup(entry.name));
    for (const auto& field : entry.field_names) type_texts.push_back(*strings.lookup(field));
  }

  c.put(strings.size());
  size_t copied = 0;
  for (uint32_t i = 0; i < strings.size(); ++i) {
    std::string_view t = strings.text(i);
    c.put(static_cast<uint32_t>(t.size()));
    c.put_bytes(t.data(), t.size());
    copied += t.size();
    if (copied >= kCopyChunk) {
      strings.copied_out(i + 1);
      copied = 0;
    }
  }

  c.put(static_cast<uint32_t>(types.size()));
  size_t text = 0;
  for (size_t id = 0; id < types.size(); ++id) {
    const auto& entry = types.entry(id);
    c.put(static_cast<uint16_t>(id));
    c.put(type_texts[text++]);
    c.put(entry.schema_version);
    c.put(static_cast<uint16_t>(entry.field_names.size()));
    for (size_t f = 0; f < entry.field_names.size(); ++f) c.put(type_texts[text++]);
  }

  c.put(table.object_count());
  size_t done = 0;
  for (const auto& splice : table.splices()) {
    copy_table(c, table, done, splice.offset);
    c.put_bytes(splice.data.data(), splice.data.size());
    done = splice.offset;
  }
  copy_table(c, table, done, table.objects().size());
}

Result<std::vector<uint8_t>> write_document(StringTable& strings, ObjectTable& table,
                                            const TypeRegistry& types) {
  KV_ASSIGN_OR_RETURN(uint64_t size, prepare_document(strings, table, types));
  std::vector<uint8_t> out(size);
  write_prepared(strings, table, types, out);
  return out;
}

}  // namespace korvane::format
