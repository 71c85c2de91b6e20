// src/format/writer.cpp: header, string table, type table and object table.
#include "format/writer.h"

#include <cstring>

#include "format/format.h"

namespace korvane::format {

using graph::ObjectGraph;
using graph::TypeRegistry;

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

Result<uint64_t> prepare_document(ObjectGraph& graph, const TypeRegistry& types) {
  KV_TRY(graph.check_limits());
  if (types.size() > kMaxTypes)
    return overflow_error("too many dataclass types to encode: the format holds at most 65536");
  uint64_t type_bytes = 4;
  for (const auto& entry : types.entries()) {
    if (entry.field_names.size() > kMaxFields)
      return overflow_error("dataclass " + std::string(entry.name) +
                            " has too many fields to encode (at most 65535)");
    graph.strings.intern(entry.name);
    for (const auto& field : entry.field_names) graph.strings.intern(field);
    type_bytes += 12 + 4 * entry.field_names.size();
  }
  const auto& strings = graph.strings;
  const uint64_t string_bytes = 4 + 4 * uint64_t{strings.size()} + strings.text_bytes();
  return kHeaderSize + string_bytes + type_bytes + 4 + graph.objects().size() +
         graph.spliced_bytes();
}

void write_prepared(const ObjectGraph& graph, const TypeRegistry& types,
                    std::span<uint8_t> out) noexcept {
  Cursor c(out.data());
  c.put_bytes(kMagic, 4);
  c.put(kVersion);
  c.put(uint32_t{0});
  c.put(uint8_t{0});

  const auto& strings = graph.strings;
  c.put(strings.size());
  for (uint32_t i = 0; i < strings.size(); ++i) {
    std::string_view t = strings.text(i);
    c.put(static_cast<uint32_t>(t.size()));
    c.put_bytes(t.data(), t.size());
  }

  c.put(static_cast<uint32_t>(types.size()));
  for (size_t id = 0; id < types.size(); ++id) {
    const auto& entry = types.entry(id);
    c.put(static_cast<uint16_t>(id));
    c.put(*strings.lookup(entry.name));
    c.put(entry.schema_version);
    c.put(static_cast<uint16_t>(entry.field_names.size()));
    for (const auto& field : entry.field_names) c.put(*strings.lookup(field));
  }

  c.put(graph.object_count());
  const uint8_t* table = graph.objects().data();
  size_t done = 0;
  for (const auto& splice : graph.splices()) {
    c.put_bytes(table + done, splice.offset - done);
    c.put_bytes(splice.data.data(), splice.data.size());
    done = splice.offset;
  }
  c.put_bytes(table + done, graph.objects().size() - done);
}

Result<std::vector<uint8_t>> write_document(ObjectGraph& graph, const TypeRegistry& types) {
  KV_ASSIGN_OR_RETURN(uint64_t size, prepare_document(graph, types));
  std::vector<uint8_t> out(size);
  write_prepared(graph, types, out);
  return out;
}

}  // namespace korvane::format
