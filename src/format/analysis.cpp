// src/format/analysis.cpp: walks over a parsed document that build nothing:
// the canonical-order check, dataclass cycles and the hashing budget.
#include "format/analysis.h"

#include <algorithm>
#include <string>

#include "format/entry.h"
#include "format/format.h"

namespace korvane::format {

namespace {

bool opens_children(uint8_t tag) noexcept {
  return tag == kTagList || tag == kTagTuple || tag == kTagSet || tag == kTagFrozenSet ||
         tag == kTagDict || tag == kTagDataclass;
}

// Hashing these visits their children; every other entry hashes alone.
bool hashes_children(const ParsedDocument& doc, uint32_t n) {
  const uint8_t tag = doc.tag(n);
  return tag == kTagTuple || tag == kTagFrozenSet || tag == kTagDataclass;
}

}  // namespace

// A build that runs user code (dataclass entries) cannot be restarted, so
// such documents are checked before building: the walk below visits entries
// in the build's order without building anything.
bool in_canonical_order(const ParsedDocument& doc) {
  constexpr size_t kMaxDepth = size_t{1} << 16;
  struct Frame {
    const uint8_t* slots;  // the child numbers still to visit
    uint32_t left;
    uint32_t number;
  };
  std::vector<Frame> open;
  std::vector<bool> building(doc.object_count());  // dataclass entries being built
  uint32_t next = 0;
  const auto visit = [&](uint32_t n) {
    if (n != next || n >= doc.object_count()) return false;
    ++next;
    if (doc.is_reference(n)) {
      // The target must be built, or be a container under construction that
      // the build has already remembered: not a dataclass being built.
      const ChainEnd end = doc.chain_end(n);
      return end.kind == ChainEnd::Kind::Entry && end.number < n && !building[end.number];
    }
    const uint8_t* p = doc.at(n);
    if (!opens_children(layout::tag(p))) return true;
    if (layout::tag(p) == kTagDataclass) building[n] = true;
    if (open.size() == kMaxDepth) return false;
    // The reader checked that the children fit the input.
    open.push_back(Frame{layout::payload(p), layout::slot_count(p), n});
    return true;
  };
  if (!visit(0)) return false;
  while (!open.empty()) {
    Frame& f = open.back();
    if (f.left == 0) {
      building[f.number] = false;
      open.pop_back();
      continue;
    }
    const uint32_t child = layout::u32_at(f.slots);
    f.slots += 4;
    --f.left;
    if (!visit(child)) return false;  // may grow `open`: f is not used after
  }
  return true;
}

// ---- cycles of dataclasses -----------------------------------------------

namespace {

// The final entry of child `c` when it is a Dataclass entry with a known
// type (one with an unknown type id fails before its fields are built, so a
// cycle cannot pass through it), else UINT32_MAX.
uint32_t dataclass_child(const ParsedDocument& doc, uint32_t c) {
  const std::optional<uint32_t> m = doc.final_entry(c);
  if (!m) return UINT32_MAX;
  const uint8_t* p = doc.at(*m);
  if (layout::tag(p) != kTagDataclass) return UINT32_MAX;
  return layout::type_id(p) < doc.types.size() ? *m : UINT32_MAX;
}

// Entries the root reaches through any children.
std::vector<bool> reachable_entries(const ParsedDocument& doc) {
  std::vector<bool> seen(doc.object_count());
  const std::optional<uint32_t> root = doc.final_entry(0);
  if (!root) return seen;
  std::vector<uint32_t> stack{*root};
  seen[*root] = true;
  while (!stack.empty()) {
    const uint32_t n = stack.back();
    stack.pop_back();
    const GraphNode node = doc.node(n);
    const uint32_t count = child_count(node);
    for (uint32_t i = 0; i < count; ++i) {
      const std::optional<uint32_t> c = doc.final_entry(node.child(i));
      if (c && !seen[*c]) {
        seen[*c] = true;
        stack.push_back(*c);
      }
    }
  }
  return seen;
}

// A depth-first search over the edges from a Dataclass entry to the
// Dataclass entries of its fields, starting from every entry in number
// order (only from those in `within`, when given). Gives the first entry
// met again while it is still on the search path, or UINT32_MAX.
uint32_t first_dataclass_cycle(const ParsedDocument& doc, const std::vector<bool>* within) {
  enum : uint8_t { kNew, kOpen, kDone };
  std::vector<uint8_t> state(doc.object_count(), kNew);
  struct Frame {
    uint32_t n;
    uint32_t next;
    GraphNode node;
  };
  std::vector<Frame> path;
  for (uint32_t start = 0; start < doc.object_count(); ++start) {
    if (state[start] != kNew || (within && !(*within)[start])) continue;
    if (doc.is_reference(start) || dataclass_child(doc, start) != start) continue;
    state[start] = kOpen;
    path.push_back(Frame{start, 0, doc.node(start)});
    while (!path.empty()) {
      Frame& f = path.back();
      if (f.next == f.node.count) {
        state[f.n] = kDone;
        path.pop_back();
        continue;
      }
      const uint32_t d = dataclass_child(doc, f.node.child(f.next++));
      if (d == UINT32_MAX || state[d] == kDone) continue;
      if (state[d] == kOpen) return d;
      state[d] = kOpen;
      path.push_back(Frame{d, 0, doc.node(d)});  // f is not used after this
    }
  }
  return UINT32_MAX;
}

}  // namespace

// `korvane.document.check` finds the same object by the same walk.
Result<void> check_dataclass_cycles(const ParsedDocument& doc) {
  if (doc.dataclass_entries < 1 || first_dataclass_cycle(doc, nullptr) == UINT32_MAX) return Ok();
  const std::vector<bool> reachable = reachable_entries(doc);
  const uint32_t n = first_dataclass_cycle(doc, &reachable);
  if (n == UINT32_MAX) return Ok();
  return value_error("Invalid data: a cycle made only of dataclasses passes through object " +
                     std::to_string(n));
}

// ---- hashing budget --------------------------------------------------------

// Expanded size of `root`, saturating at `cap`; sizes are cached per entry.
uint64_t HashBudget::expanded_size(uint32_t root) {
  constexpr uint64_t kBusy = UINT64_MAX;
  const uint64_t cap = kMaxExpansion * (uint64_t{doc_.object_count()} + kSmallKey);
  if (sizes_.empty()) sizes_.assign(doc_.object_count(), 0);
  if (sizes_[root] && sizes_[root] != kBusy) return sizes_[root];
  struct Frame {
    uint32_t n;
    uint32_t next;
    uint64_t total;
  };
  std::vector<Frame> stack{{root, 0, 1}};
  sizes_[root] = kBusy;
  uint64_t result = 1;
  while (!stack.empty()) {
    Frame& f = stack.back();
    const GraphNode node = doc_.node(f.n);
    if (f.next < node.count && f.total < cap) {
      const std::optional<uint32_t> c = doc_.final_entry(node.child(f.next++));
      if (!c || !hashes_children(doc_, *c) || sizes_[*c] == kBusy) {
        f.total += 1;  // a leaf, or a cycle the decoder reports when it gets there
      } else if (sizes_[*c]) {
        f.total = std::min(cap, f.total + sizes_[*c]);
      } else {
        sizes_[*c] = kBusy;
        stack.push_back(Frame{*c, 0, 1});
      }
      continue;
    }
    const uint64_t total = std::min(cap, f.total);
    sizes_[f.n] = total;
    stack.pop_back();
    if (stack.empty()) result = total;
    else stack.back().total = std::min(cap, stack.back().total + total);
  }
  return result;
}

// Distinct entries that hashing `root` visits, stopping past `limit`.
uint64_t HashBudget::distinct_entries(uint32_t root, uint64_t limit) {
  if (seen_.empty()) seen_.assign(doc_.object_count(), 0);
  const uint32_t stamp = ++stamp_;
  std::vector<uint32_t> stack{root};
  seen_[root] = stamp;
  uint64_t count = 0;
  while (!stack.empty() && count <= limit) {
    const uint32_t n = stack.back();
    stack.pop_back();
    ++count;
    const GraphNode node = doc_.node(n);
    for (uint32_t i = 0; i < node.count; ++i) {
      const std::optional<uint32_t> c = doc_.final_entry(node.child(i));
      if (!c || seen_[*c] == stamp) continue;
      seen_[*c] = stamp;
      if (hashes_children(doc_, *c)) stack.push_back(*c);
      else ++count;
    }
  }
  return count;
}

Result<void> HashBudget::charge(uint32_t n) {
  const std::optional<uint32_t> m = doc_.final_entry(n);
  if (!m || !hashes_children(doc_, *m)) return Ok();
  const uint64_t size = expanded_size(*m);
  if (size <= kSmallKey) return Ok();
  if (checked_.empty()) checked_.assign(doc_.object_count(), false);
  if (checked_[*m]) return Ok();
  if (size > kMaxExpansion * distinct_entries(*m, size / kMaxExpansion))
    return value_error(
        "Invalid data: a dict key or set element shares its tuples so often that hashing it "
        "would visit " + std::to_string(size) + " or more elements");
  checked_[*m] = true;
  return Ok();
}

// Cached per entry; an entry met again while its own walk is open counts as
// reaching one.
bool HashBudget::reaches_dataclass(uint32_t child) {
  enum : uint8_t { kUnknown, kBusy, kNo, kYes };
  const std::optional<uint32_t> start = doc_.final_entry(child);
  if (!start) return true;
  const uint32_t root = *start;
  if (reaches_.empty()) reaches_.assign(doc_.object_count(), kUnknown);
  if (reaches_[root] == kNo || reaches_[root] == kYes) return reaches_[root] == kYes;
  struct Frame {
    uint32_t n;
    uint32_t next;
    bool yes;
  };
  std::vector<Frame> stack{{root, 0, doc_.tag(root) == kTagDataclass}};
  reaches_[root] = kBusy;
  while (!stack.empty()) {
    Frame& f = stack.back();
    const GraphNode node = doc_.node(f.n);
    if (!f.yes && f.next < node.count) {
      const std::optional<uint32_t> c = doc_.final_entry(node.child(f.next++));
      if (!c || !hashes_children(doc_, *c)) continue;
      if (reaches_[*c] == kYes || reaches_[*c] == kBusy) {
        f.yes = true;
      } else if (reaches_[*c] == kUnknown) {
        reaches_[*c] = kBusy;
        stack.push_back(Frame{*c, 0, doc_.tag(*c) == kTagDataclass});
      }
      continue;
    }
    const bool yes = f.yes;
    reaches_[f.n] = yes ? kYes : kNo;
    stack.pop_back();
    if (yes && !stack.empty()) stack.back().yes = true;
  }
  return reaches_[root] == kYes;
}

}  // namespace korvane::format
