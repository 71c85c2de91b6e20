// tests/fuzz/fuzz_reader.cpp: libFuzzer target for the interpreter-free reader.
//
// Every input must either be refused with an error or parse into a document
// whose every entry, string and type row can be read back without touching a
// byte outside the input. AddressSanitizer turns any such stray read into a
// finding, so the walk below reads everything a decoder could.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/reader.h"

using korvane::format::ParsedDocument;
using korvane::format::NodeKind;

namespace {

volatile uint64_t g_sink;  // keeps the reads below from being optimised away

void check(bool ok) {
  if (!ok) std::abort();
}

void touch(std::string_view text) {
  uint64_t sum = text.size();
  for (char ch : text) sum = sum * 31 + static_cast<uint8_t>(ch);
  g_sink = sum;
}

bool inside(const ParsedDocument& doc, const uint8_t* p, size_t n) {
  const uint8_t* begin = doc.input.data();
  const uint8_t* end = begin + doc.input.size();
  return p >= begin && p <= end && n <= static_cast<size_t>(end - p);
}

void walk_node(const ParsedDocument& doc, uint32_t n) {
  const korvane::format::GraphNode node = doc.node(n);
  uint64_t sum = static_cast<uint64_t>(node.kind);
  switch (node.kind) {
    case NodeKind::None:
    case NodeKind::Bool:
    case NodeKind::Int:
    case NodeKind::Float:
      sum += static_cast<uint64_t>(node.integer) + static_cast<uint64_t>(node.real != 0);
      break;
    case NodeKind::Str:
      // The index is checked later, by the engine; touch it when it resolves.
      if (node.index < doc.string_count()) touch(doc.text(node.index));
      break;
    case NodeKind::Bytes:
      check(inside(doc, node.data, node.count));
      for (uint32_t i = 0; i < node.count; ++i) sum += node.data[i];
      break;
    case NodeKind::List:
    case NodeKind::Tuple:
    case NodeKind::Set:
    case NodeKind::FrozenSet:
    case NodeKind::Dict:
    case NodeKind::Dataclass: {
      const size_t slots = node.kind == NodeKind::Dict ? 2 * size_t{node.count} : node.count;
      check(inside(doc, node.data, 4 * slots));
      for (size_t i = 0; i < slots; ++i) {
        const uint32_t child = node.child(i);
        sum += child;
        // A child that is in range must itself be readable as an entry.
        if (child < doc.object_count() && doc.is_reference(child))
          sum += doc.chain_end(child).number;
      }
      if (node.kind == NodeKind::Dataclass && node.type_id < doc.types.size()) {
        const auto& entry = doc.types.entry(node.type_id);
        touch(entry.name);
        for (auto field : entry.field_names) touch(field);
      }
      break;
    }
    case NodeKind::Reference:
      std::abort();  // the reader resolves every reference entry
  }
  g_sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto result = korvane::format::read_document(std::span<const uint8_t>(data, size));
  if (!result) {
    touch(result.error().message);
    return 0;
  }
  const ParsedDocument& doc = *result;
  for (uint32_t i = 0; i < doc.string_count(); ++i) touch(doc.text(i));
  for (size_t t = 0; t < doc.types.size(); ++t) {
    const auto& entry = doc.types.entry(static_cast<uint32_t>(t));
    touch(entry.name);
    for (auto field : entry.field_names) touch(field);
  }
  for (uint32_t n = 0; n < doc.object_count(); ++n) {
    if (doc.is_reference(n)) {
      // The end of a chain is a loop, a missing number, or an entry that is
      // itself not a reference.
      const korvane::format::ChainEnd end = doc.chain_end(n);
      if (end.kind == korvane::format::ChainEnd::Kind::Entry)
        check(end.number < doc.object_count() && !doc.is_reference(end.number));
      if (end.kind == korvane::format::ChainEnd::Kind::Missing)
        check(end.number >= doc.object_count());
      continue;
    }
    walk_node(doc, n);
  }
  return 0;
}
