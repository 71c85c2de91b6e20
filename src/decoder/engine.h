// src/decoder/engine.h: the reconstruction engine: object numbers of a
// parsed document to Python objects, shared objects and cycles included.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "decoder/classes.h"
#include "decoder/memo.h"
#include "py/depth_guard.h"
#include "format/analysis.h"
#include "format/entry.h"
#include "format/reader.h"
#include "py/py_result.h"

namespace korvane::decoder {

using format::GraphNode;
using format::ParsedDocument;

inline constexpr const char* kWhere = " while decoding";

class Decoder {
 public:
  // Canonical: entries are expected in the order the writer numbers them
  // (pre-order, each reached once directly), so only the targets of
  // Reference entries need the memo. The first entry out of that order asks
  // for a restart in Exact mode, which memoises everything. Restarting is
  // only sound when no user code runs, so documents with dataclass entries
  // build in Canonical mode only when in_canonical_order found that no
  // restart can come, and in Exact mode otherwise.
  enum class Mode { Canonical, Exact };

  Decoder(const ParsedDocument& doc, Mode mode)
      : doc_(doc),
        input_end_(doc.input.data() + doc.input.size()),
        memo_(doc.object_count() + size_t{1}),
        count_(doc.object_count()),
        canonical_(mode == Mode::Canonical),
        classes_(doc),
        budget_(doc),
        fill_in_place_(doc.dataclass_entries == 0),
        in_progress_(doc.object_count()) {
    decoded_.assign(doc.string_count(), 0);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  PyResult<Ref> resolve(uint32_t n);
  bool needs_restart() const noexcept { return restart_; }

  // When the reader left the texts to us: the first text that this decoder
  // did not decode (those it did are UTF-8) and that is not UTF-8.
  std::optional<Error> text_fault() const;

 private:
  // A reference back to a tuple or frozenset that is still being built gets
  // a stand-in, a bare object made for that entry alone; the places that can
  // take the finished object later (list items, dict values) are recorded
  // per entry and patched when it is done. A place patched only while it
  // still holds that entry's own stand-in, so a later dict pair with an
  // equal key keeps its value.
  struct Patch {
    Ref container;
    Py_ssize_t index;  // list item
    Ref key;           // dict value
  };
  struct ScalarView;

  PyResult<Ref> build(uint32_t n);
  [[gnu::always_inline]] inline Ref try_scalar(uint32_t n);
  // A new str for each Str entry, as the writer's distinct strings were;
  // empty with the error set when decoding failed.
  Ref decode_text(uint32_t index);
  [[gnu::always_inline]] inline uint32_t fill_scalars(PyObject* list, const GraphNode& node,
                                                      uint32_t i);
  PyResult<Ref> child(uint32_t n) {
    if (Ref obj = try_scalar(n)) return obj;
    if (PyErr_Occurred()) return PyError::fetch();
    return resolve(n);
  }
  PyResult<Ref> final_child(uint32_t n) {
    if (Ref obj = try_scalar(n)) return obj;
    if (PyErr_Occurred()) return PyError::fetch();
    return resolve_final(n);
  }
  [[gnu::noinline]] PyResult<Ref> build_str(uint32_t index);
  [[gnu::noinline]] PyResult<Ref> build_list(uint32_t n, const GraphNode& node);
  [[gnu::noinline]] PyResult<Ref> build_dict(uint32_t n, const GraphNode& node);
  [[gnu::noinline]] PyResult<Ref> build_set(uint32_t n, const GraphNode& node);
  [[gnu::noinline]] PyResult<Ref> build_tuple(uint32_t n, const GraphNode& node);
  [[gnu::noinline]] PyResult<Ref> build_frozenset(uint32_t n, const GraphNode& node);
  [[gnu::noinline]] PyResult<Ref> build_dataclass(uint32_t n, const GraphNode& node);
  PyResult<Ok> build_fields(uint32_t n, const GraphNode& node, std::vector<Ref>& values);

  // A child that must be a finished object (key, element, field).
  PyResult<Ref> resolve_final(uint32_t n);
  PyResult<Ref> stand_in(uint32_t n);
  // Is `obj`, got for child number `n`, the stand-in of an unfinished entry?
  bool is_stand_in(uint32_t n, PyObject* obj) const {
    if (!stand_ins_ || !Py_IS_TYPE(obj, &PyBaseObject_Type)) return false;
    const std::optional<uint32_t> t = doc_.final_entry(n);
    return t && in_progress_[*t] && memo_.get(*t) == obj;
  }
  void add_patch(uint32_t n, PyObject* container, Py_ssize_t index, Ref key) {
    patches_[doc_.final_entry(n).value_or(0)].push_back(
        Patch{Ref::borrow(container), index, std::move(key)});
    ++pending_;
  }
  // A key or set element is about to be hashed; `user` notes whether that
  // ran, or may run, code of a class make_class gave.
  [[gnu::always_inline]] inline PyResult<Ok> before_hashing(uint32_t n, PyObject* key,
                                                            bool& user);
  [[gnu::noinline]] PyResult<Ok> charge_slow_key(uint32_t n, PyObject* key, bool& user);
  bool runs_user_code(uint32_t n, PyObject* key);
  PyError restart() {
    restart_ = true;
    return Error{ErrorKind::Panic, "document out of canonical order"};
  }
  void store(uint32_t n, PyObject* obj) {
    if (canonical_ && !doc_.is_target(n)) return;
    memo_.put(n, obj);
  }
  PyResult<Ok> finish_patches(uint32_t n, PyObject* finished, PyObject* stand_in);
  PyResult<Ok> check_no_stand_ins() const;
  // Hashing or comparing keys of user classes would show them the stand-ins.
  PyError user_hash_error() const;

  const ParsedDocument& doc_;
  const uint8_t* input_end_;
  NestingBound stack_floor_;  // the native stack and the recursion limit
  Memo memo_;
  std::vector<uint8_t> decoded_;  // string index -> decoded once, so UTF-8
  std::unordered_map<uint32_t, std::vector<Patch>> patches_;  // unfinished entry -> places
  size_t pending_ = 0;     // patches not yet applied
  uint32_t stand_ins_ = 0;  // stand-ins made so far
  uint32_t opened_ = 0;     // containers whose build has started
  uint32_t next_ = 0;           // Canonical: the number the next direct visit must name
  uint32_t count_;              // entries in the object table
  bool canonical_;
  bool restart_ = false;
  ClassResolver classes_;
  format::HashBudget budget_;
  bool fill_in_place_;
  std::vector<bool> in_progress_;    // tuples and frozensets being built
  std::vector<uint32_t> open_since_;  // dataclass being built: 1 + opened_ at its start
};

// A new reference for a None, Bool, Int or Float entry at `p` (its tag);
// the input ends at `end`. Kept out of line, so that the scalar loops stay
// small, and raw, so that it comes back in a register: every caller wraps
// it in a Ref at once. Hidden, so that calls to it are direct.
[[gnu::noinline, gnu::visibility("hidden")]] inline PyObject* new_plain(const uint8_t* p, const uint8_t* end) {
  switch (format::layout::tag(p)) {
    case format::kTagInt: return PyLong_FromLongLong(format::layout::int_value(p, end));
    case format::kTagFloat: return PyFloat_FromDouble(format::layout::float_value(p));
    case format::kTagNone: return Ref::borrow(Py_None).release();
    case format::kTagTrue: return Ref::borrow(Py_True).release();
    default: return Ref::borrow(Py_False).release();
  }
}

// The common case without the general machinery: a scalar child that is the
// next entry in canonical order and that no Reference names is built here
// and not memoised; so is a Reference to a finished object. Empty (with no
// error set unless making the object failed) sends the caller the slow way.
// The view holds the decoder's state in locals for a loop over many
// children; `next` stands for next_ while it runs.
// Hot loop: it reads the document's words raw.
struct Decoder::ScalarView {
  Decoder& d;
  const uint64_t* const words = d.doc_.words();
  const uint8_t* const base = d.doc_.input.data();
  const uint8_t* const end = d.input_end_;
  const size_t string_count = d.decoded_.size();
  const uint32_t count = d.count_;

  // A new reference, raw so that the loop keeps it in a register; null
  // sends the caller the slow way.
  [[gnu::always_inline]] inline PyObject* take(uint32_t n, uint32_t& next) const {
    if (n != next || n >= count) return nullptr;
    const uint64_t word = words[n];
    PyObject* obj;
    if (ParsedDocument::word_is_reference(word)) {
      // A Reference to a finished object (the usual repeated key or value).
      if (!ParsedDocument::word_reaches_entry(word)) return nullptr;
      obj = d.memo_.get(ParsedDocument::word_entry(word));
      // A bare object may be a stand-in: the slow path tells.
      if (!obj || Py_IS_TYPE(obj, &PyBaseObject_Type)) return nullptr;
      Py_INCREF(obj);
    } else {
      if (ParsedDocument::word_is_target(word)) return nullptr;
      const uint8_t* p = base + ParsedDocument::plain_word_offset(word);
      const uint8_t tag = format::layout::tag(p);
      if (tag == format::kTagStr) {
        const uint32_t index = format::layout::str_index(p);
        if (index >= string_count) return nullptr;
        obj = d.decode_text(index).release();
      } else if (tag <= format::kTagFloat) {
        obj = new_plain(p, end);
      } else {
        return nullptr;
      }
      if (!obj) return nullptr;
    }
    ++next;
    return obj;
  }
};

// Strings and numbers hash in bounded time; anything else may nest.
inline bool might_hash_slowly(PyObject* key) {
  PyTypeObject* type = Py_TYPE(key);
  return type != &PyUnicode_Type && type != &PyLong_Type && type != &PyFloat_Type &&
         key != Py_None && type != &PyBool_Type;
}

inline PyResult<Ok> Decoder::before_hashing(uint32_t n, PyObject* key, bool& user) {
  if (might_hash_slowly(key)) KV_TRY(charge_slow_key(n, key, user));
  if (user && pending_) return user_hash_error();
  return Ok();
}

inline Ref Decoder::try_scalar(uint32_t n) {
  if (!canonical_) return Ref();
  return Ref::steal(ScalarView{*this}.take(n, next_));
}

}  // namespace korvane::decoder
