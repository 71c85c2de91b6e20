// tests/core/core_tests.cpp: the interpreter-free core on its own: encodings,
// the writer's layout, and the reader against every truncation of a document.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "format/analysis.h"
#include "format/format.h"
#include "format/reader.h"
#include "format/utf8.h"
#include "format/writer.h"
#include "graph/object_graph.h"

using namespace korvane;

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  }
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

void varints() {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "00"}, {-1, "01"}, {1, "02"}, {63, "7E"}, {-64, "7F"}, {64, "8001"},
      {300, "D804"}, {1000000, "80897A"},
      {INT64_MAX, "FEFFFFFFFFFFFFFFFF01"}, {INT64_MIN, "FFFFFFFFFFFFFFFFFF01"}};
  for (auto [value, expected] : cases) {
    uint8_t buf[10];
    const size_t n = format::encode_varint(buf, value);
    const std::vector<uint8_t> bytes(buf, buf + n);
    expect(hex(bytes) == expected, "varint of " + std::to_string(value) + " is " + hex(bytes));
    expect(format::decode_varint(buf, buf + n) == value, "varint round trip " + std::to_string(value));
    expect(format::varint_size(value) == n, "varint size " + std::to_string(value));
  }
  // Every length, read both byte by byte (the varint ends the input) and a
  // word at a time (more input follows).
  for (int shift = 0; shift < 64; ++shift) {
    for (int64_t delta : {-1, 0, 1}) {
      for (int sign : {1, -1}) {
        const uint64_t magnitude = (uint64_t{1} << shift) + static_cast<uint64_t>(delta);
        const auto value = static_cast<int64_t>(sign > 0 ? magnitude : 0 - magnitude);
        uint8_t padded[16];
        std::memset(padded, 0xFF, sizeof padded);
        const size_t n = format::encode_varint(padded, value);
        expect(format::decode_varint(padded, padded + n) == value,
               "tight varint " + std::to_string(value));
        expect(format::decode_varint(padded, padded + sizeof padded) == value,
               "padded varint " + std::to_string(value));
      }
    }
  }
}

// A list [1, "x", [], Point(x=1.5)] with a shared string, built by hand.
std::vector<uint8_t> sample_document() {
  graph::ObjectGraph g;
  graph::TypeRegistry types;
  auto list = g.reserve(graph::NodeKind::List, 4);
  g.fill(list, 0, g.push_int(1));
  const uint32_t x = g.push_str(g.strings.intern("x"));
  g.fill(list, 1, x);
  auto empty = g.reserve(graph::NodeKind::List, 0);
  g.fill(list, 2, empty.number);
  const std::string_view fields[] = {"x"};
  const uint32_t id = types.register_type("Point", fields, 0);
  auto point = g.reserve(graph::NodeKind::Dataclass, 1, static_cast<uint16_t>(id));
  g.fill(point, 0, g.push_float(1.5));
  g.fill(list, 3, point.number);
  auto doc = format::write_document(g.strings, g, types);
  expect(doc.has_value(), "sample document writes");
  return std::move(doc).value();
}

void writer_layout() {
  graph::ObjectGraph g;
  graph::TypeRegistry types;
  (void)g.push_none();
  auto none = format::write_document(g.strings, g, types);
  expect(hex(none.value()) == "4B52564E0100000000000000000000000000000100000001",
         "the None document is " + hex(none.value()));

  const auto doc = sample_document();
  auto parsed = format::read_document(doc);
  expect(parsed.has_value(), "sample document reads back");
  const auto& p = parsed.value();
  // "x" is captured before the type's field of the same text: one entry.
  expect(p.string_count() == 2 && p.text(0) == "x" && p.text(1) == "Point",
         "type names follow the captured texts, shared texts stand once");
  expect(p.object_count() == 6, "six entries");
  expect(p.node(5).kind == graph::NodeKind::Float && p.node(5).real == 1.5, "float entry");
}

void truncations() {
  const auto doc = sample_document();
  for (size_t n = 0; n < doc.size(); ++n) {
    std::vector<uint8_t> prefix(doc.begin(), doc.begin() + static_cast<ptrdiff_t>(n));
    auto r = format::read_document(prefix);
    expect(!r.has_value(), "prefix of " + std::to_string(n) + " bytes is rejected");
    if (!r.has_value()) {
      const std::string& m = r.error().message;
      expect(m.rfind("Invalid data: ", 0) == 0 || m == "Invalid magic bytes",
             "prefix message: " + m);
    }
  }
  std::vector<uint8_t> longer = doc;
  longer.push_back(0xFF);
  expect(format::read_document(longer).has_value(), "trailing bytes are ignored");
}

void huge_counts() {
  // An object count of 2^32 - 1 with nothing behind it fails without reserving.
  std::vector<uint8_t> doc = {'K', 'R', 'V', 'N', 1, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  auto r = format::read_document(doc);
  expect(!r.has_value() && r.error().message == "Invalid data: tag truncated",
         "huge object count ends at the first missing tag");
}

void utf8_faults() {
  const std::pair<std::string, std::string> cases[] = {
      {"\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"a\xE1\x80" "A", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xF0\x90\x80" "A", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"ab\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const auto& [text, message] : cases) {
    auto fault = format::check_utf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    expect(fault && fault->describe() == message, "utf-8 fault: " + message);
  }
  const std::string good = "h\xC3\xA9llo \xF0\x9F\x98\x80";
  expect(!format::check_utf8(reinterpret_cast<const uint8_t*>(good.data()), good.size()),
         "well-formed text passes");
}

// A document by hand: no texts, one type "P" with one field when `typed`,
// and the object table given as bytes after its count.
std::vector<uint8_t> doc_of(uint32_t objects, std::vector<uint8_t> table, bool typed = false) {
  std::vector<uint8_t> d = {'K', 'R', 'V', 'N', 1, 0, 0, 0, 0, 0, 0};
  auto u32 = [&d](uint32_t v) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  u32(typed ? 1 : 0);
  if (typed) d.insert(d.end(), {1, 0, 0, 0, 'P'});
  u32(typed ? 1 : 0);
  if (typed) d.insert(d.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0});
  u32(objects);
  d.insert(d.end(), table.begin(), table.end());
  return d;
}

// A container or Dataclass entry of `tag` naming `children`.
std::vector<uint8_t> entry(uint8_t tag, std::initializer_list<uint32_t> children) {
  std::vector<uint8_t> e = {tag};
  const auto n = static_cast<uint32_t>(children.size());
  if (tag == format::kTagDataclass) e.insert(e.end(), {0, 0, static_cast<uint8_t>(n), 0});
  else for (int i = 0; i < 4; ++i) e.push_back(static_cast<uint8_t>(n >> (8 * i)));
  for (uint32_t c : children)
    for (int i = 0; i < 4; ++i) e.push_back(static_cast<uint8_t>(c >> (8 * i)));
  return e;
}
std::vector<uint8_t> ref(uint32_t target) {
  std::vector<uint8_t> e = {format::kTagReference};
  for (int i = 0; i < 4; ++i) e.push_back(static_cast<uint8_t>(target >> (8 * i)));
  return e;
}
std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Parses `bytes`, which are kept for the whole run (the document views them).
const format::ParsedDocument& parse(std::vector<uint8_t> bytes) {
  static std::vector<std::unique_ptr<std::vector<uint8_t>>> inputs;
  static std::vector<std::unique_ptr<format::ParsedDocument>> docs;
  inputs.push_back(std::make_unique<std::vector<uint8_t>>(std::move(bytes)));
  auto parsed = format::read_document(*inputs.back());
  expect(parsed.has_value(), "a hand-built document reads");
  docs.push_back(std::make_unique<format::ParsedDocument>(std::move(parsed).value()));
  return *docs.back();
}

void canonical_order() {
  const std::vector<uint8_t> none = {format::kTagNone};
  const struct {
    std::vector<uint8_t> doc;
    bool canonical;
    const char* what;
  } cases[] = {
      {sample_document(), true, "the writer's order"},
      {doc_of(3, cat({entry(format::kTagList, {2, 1}), none, none})), false, "children swapped"},
      {doc_of(3, cat({entry(format::kTagList, {1, 2}), ref(2), none})), false, "a forward reference"},
      {doc_of(3, cat({entry(format::kTagList, {1, 2}), none, ref(1)})), true, "a reference back"},
      {doc_of(2, cat({entry(format::kTagDataclass, {1}), ref(0)}), true), false,
       "a reference to the dataclass being built"},
      {doc_of(2, cat({entry(format::kTagList, {1}), ref(0)})), true, "a list holding itself"},
  };
  for (const auto& c : cases) {
    auto parsed = format::read_document(c.doc);
    expect(parsed.has_value() && format::in_canonical_order(*parsed) == c.canonical,
           std::string("canonical order: ") + c.what);
  }
}

void dataclass_cycles() {
  const std::vector<uint8_t> none = {format::kTagNone};
  // 0 holds itself through a Reference; then the same cycle out of the root's reach.
  const auto& reached = parse(
      doc_of(2, cat({entry(format::kTagDataclass, {1}), ref(0)}), true));
  auto fault = format::check_dataclass_cycles(reached);
  expect(!fault && fault.error().message ==
                       "Invalid data: a cycle made only of dataclasses passes through object 0",
         "a reachable cycle of dataclasses is refused");
  const auto& unreached = parse(
      doc_of(3, cat({none, entry(format::kTagDataclass, {2}), ref(1)}), true));
  expect(bool(format::check_dataclass_cycles(unreached)), "an unreachable cycle passes");
  const auto& through_list = parse(doc_of(
      3, cat({entry(format::kTagDataclass, {1}), entry(format::kTagList, {2}), ref(0)}), true));
  expect(bool(format::check_dataclass_cycles(through_list)), "a cycle through a list passes");
}

void hash_budget() {
  // Tuple k holds tuple k-1 twice: hashing the last visits 2^depth entries.
  const uint32_t depth = 24;
  std::vector<uint8_t> table = {format::kTagNone};
  for (uint32_t k = 1; k <= depth; ++k) {
    const auto t = cat({entry(format::kTagTuple, {k - 1, k - 1})});
    table.insert(table.end(), t.begin(), t.end());
  }
  const auto& nested = parse(doc_of(depth + 1, table));
  format::HashBudget budget(nested);
  expect(bool(budget.charge(9)), "a shared key of 1023 visits passes");
  auto refused = budget.charge(depth);
  expect(!refused && refused.error().message.find("shares its tuples so often") != std::string::npos,
         "a key that expands far beyond its entries is refused");
  expect(!budget.reaches_dataclass(depth), "tuples of None reach no dataclass");
  // A flat tuple of 2000 distinct entries is large but hashes in linear time.
  std::vector<uint8_t> flat;
  std::vector<uint32_t> items;
  for (uint32_t i = 1; i <= 2000; ++i) items.push_back(i);
  flat = {format::kTagTuple, 0xD0, 0x07, 0, 0};
  for (uint32_t c : items)
    for (int i = 0; i < 4; ++i) flat.push_back(static_cast<uint8_t>(c >> (8 * i)));
  for (uint32_t i = 0; i < 2000; ++i) flat.push_back(format::kTagNone);
  const auto& wide = parse(doc_of(2001, flat));
  expect(bool(format::HashBudget(wide).charge(0)), "a wide key without sharing passes");
  const auto& holding = parse(
      doc_of(3, cat({entry(format::kTagTuple, {1}), entry(format::kTagDataclass, {2}),
                     std::vector<uint8_t>{format::kTagNone}}), true));
  expect(format::HashBudget(holding).reaches_dataclass(0), "a tuple holding a dataclass");
}

}  // namespace

int main() {
  varints();
  writer_layout();
  truncations();
  huge_counts();
  utf8_faults();
  canonical_order();
  dataclass_cycles();
  hash_budget();
  if (failures) {
    std::fprintf(stderr, "%d core check(s) failed\n", failures);
    return 1;
  }
  std::puts("core checks passed");
  return 0;
}
