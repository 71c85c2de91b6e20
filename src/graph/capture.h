// src/graph/capture.h: the state of one capture walk and the steps that
// the walk's files share.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/attributes.h"
#include "py/depth_guard.h"
#include "py/gc_pause.h"
#include "graph/identity_memo.h"
#include "graph/object_graph.h"
#include "py/process_state.h"
#include "py/py_result.h"

namespace korvane::graph::detail {

using format::kMaxLength;

inline constexpr const char* kWhere = " while encoding";

// Bytes values at least this long are copied once, straight from the
// object into the output, instead of through the object table.
inline constexpr size_t kBorrowBytesFrom = 64 * 1024;

// The field names of one dataclass as read from its __dataclass_fields__
// mapping: the keys (a tuple, which keeps them alive) and their texts.
// Instances of a class share the mapping, so they skip re-reading the names
// while the mapping holds the very same keys in the same order.
struct FieldLayout {
  Ref fields;
  Ref keys;
  std::vector<std::string_view> texts;
  // The type these fields were last registered as: a later instance with
  // the same name and version gets the same type id without a lookup.
  bool registered = false;
  std::string name;
  uint32_t version = 0;
  uint32_t type_id = 0;
};

// Layouts remembered per call; past this many, new ones replace old ones.
inline constexpr size_t kMaxLayouts = 32;

struct CaptureState {
  ObjectGraph graph;
  TypeRegistry types;
  IdentityMemo memo;
  std::vector<Ref> kept;  // bytes objects written by reference
  // Until user code may have run, an object whose only references are its
  // container's and ours cannot be reached again, so it need not be
  // remembered. Any dataclass or non-built-in type switches this off. The
  // root is the exception: its holders are the caller's, not the walk's.
  bool user_code = false;
  PyObject* root = nullptr;
  // The collector stays paused while no user code has run: a collection
  // runs finalizers, which could move an object the walk has not
  // remembered to where the walk will meet it again.
  GcPause gc_pause;
  std::vector<FieldLayout> layouts;
  size_t last_layout = 0;
  size_t next_replaced = 0;
  AttributeProbe versions{g_state.str_korvane_version, g_state.str_meridel_version};
  ModuleLookup dataclasses{g_state.str_dataclasses};
  NestingBound stack_floor;  // the native stack and the recursion limit
};

// An object the memo does not hold: dispatched on its type.
[[gnu::noinline]] PyResult<uint32_t> capture_unseen(CaptureState& s, PyObject* obj);

// May this object be met again later in the walk?
inline bool shared(const CaptureState& s, PyObject* obj) {
  return s.user_code || Py_REFCNT(obj) != 2 || obj == s.root;
}

// From here on user code may run: the memo shortcuts are off and the
// collector runs again.
inline void allow_user_code(CaptureState& s) {
  s.user_code = true;
  s.gc_pause.resume();
}

// An object met before becomes a Reference to its number; true when it was.
// Kept apart from the dispatch so that the usual repeated key or value costs
// a probe and an append, not a full call.
inline bool capture_seen(CaptureState& s, PyObject* obj, uint32_t& number) {
  if (!shared(s, obj)) return false;
  const uint32_t* seen = s.memo.find(obj);
  if (!seen) return false;
  number = s.graph.push(*seen);
  return true;
}

inline PyResult<uint32_t> capture(CaptureState& s, PyObject* obj) {
  uint32_t number;
  if (capture_seen(s, obj, number)) return number;
  return capture_unseen(s, obj);
}

inline void remember(CaptureState& s, PyObject* obj, uint32_t number) {
  if (shared(s, obj)) s.memo.insert(obj, number);
}

inline PyError panic(std::string message) {
  return Error{ErrorKind::Panic, std::move(message)};
}

// The error for a container length that is negative (a failed size query)
// or wider than the format's u32 counts.
[[gnu::cold, gnu::noinline]] PyError length_error(Py_ssize_t n, const char* what);

inline bool length_fits(Py_ssize_t n) {
  return n >= 0 && static_cast<uint64_t>(n) <= kMaxLength;
}

// Dataclasses and the values only an adapter can write (capture_classes.cpp).
PyResult<uint32_t> capture_other(CaptureState& s, PyObject* obj, std::string_view name);
// An exact int beyond 64 bits, written by the adapter registered for int;
// an empty optional when there is none.
PyResult<std::optional<uint32_t>> capture_big_int(CaptureState& s, PyObject* obj);

}  // namespace korvane::graph::detail
