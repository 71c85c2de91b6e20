// src/format/decoder.cpp: the reconstruction engine, the allowlist gate and
// class resolution with schema migrations.
#include "format/decoder.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "attributes.h"
#include "convert.h"
#include "core/buffer.h"
#include "depth_guard.h"
#include "gc_pause.h"
#include "format/reader.h"
#include "graph/object_graph.h"
#include "process_state.h"

namespace korvane::format {

using graph::GraphNode;
using graph::NodeKind;

namespace {

constexpr const char* kWhere = " while decoding";

// A zero-filled array. Large ones are mapped straight from the system: its
// pages arrive zeroed when first touched, so a memo that only a few
// References use costs neither a memset nor page faults for the rest.
template <class T>
class ZeroedArray {
 public:
  explicit ZeroedArray(size_t count) : bytes_(count * sizeof(T)) {
    if (bytes_ >= kMapFrom) {
      void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      madvise(p, bytes_, MADV_HUGEPAGE);  // fewer faults; a hint the system may ignore
      data_ = static_cast<T*>(p);
    } else {
      data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
      if (!data_) throw std::bad_alloc();
    }
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() {
    if (bytes_ >= kMapFrom) munmap(data_, bytes_);
    else std::free(data_);
  }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }

 private:
  static constexpr size_t kMapFrom = size_t{1} << 20;
  size_t bytes_;
  T* data_;
};

// Strings and numbers hash in bounded time; anything else may nest.
inline bool might_hash_slowly(PyObject* key) {
  PyTypeObject* type = Py_TYPE(key);
  return type != &PyUnicode_Type && type != &PyLong_Type && type != &PyFloat_Type &&
         key != Py_None && type != &PyBool_Type;
}

// A new reference for a None, Bool, Int or Float entry at `p` (its tag);
// the input ends at `end`.
inline PyObject* new_plain(const uint8_t* p, const uint8_t* end) {
  switch (p[0]) {
    case kTagInt: return PyLong_FromLongLong(decode_varint(p + 1, end));
    case kTagFloat: {
      uint64_t bits;
      std::memcpy(&bits, p + 1, 8);
      return PyFloat_FromDouble(bits_float(bits));
    }
    case kTagNone: return Ref::borrow(Py_None).release();
    case kTagTrue: return Ref::borrow(Py_True).release();
    default: return Ref::borrow(Py_False).release();
  }
}

// A bytes copy of `size` bytes at `data`, filled once it may use huge pages.
PyObject* new_bytes(const uint8_t* data, size_t size) {
  PyObject* obj = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!obj) return nullptr;
  char* out = PyBytes_AsString(obj);
  advise_huge_pages(out, size);
  std::memcpy(out, data, size);
  return obj;
}

PyResult<Ref> new_str(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// "korvane.x", else its legacy twin; a failure of both gives the second's error.
PyResult<Ref> import_helper(ModuleLookup& name, ModuleLookup& legacy) {
  if (auto module = name.get()) return module;
  return legacy.get();
}

uint32_t final_number(const ParsedDocument& doc, uint32_t n, bool& ok);
bool hashes_children(const ParsedDocument& doc, uint32_t n);

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
        fill_in_place_(doc.dataclass_entries == 0),
        in_progress_(doc.object_count()) {
    decoded_.assign(doc.string_count(), 0);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    for (uint32_t n : stored_) Py_XDECREF(memo_[n]);
  }

  PyResult<Ref> resolve(uint32_t n);
  bool needs_restart() const noexcept { return restart_; }

  // When the reader left the texts to us: the first text that this decoder
  // did not decode (those it did are UTF-8) and that is not UTF-8.
  std::optional<Error> text_fault() const {
    if (!doc_.texts_unchecked) return std::nullopt;
    for (uint32_t i = 0; i < doc_.string_count(); ++i) {
      if (decoded_[i]) continue;
      if (auto fault = format::text_fault(doc_, i)) return fault;
    }
    return std::nullopt;
  }

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

  PyResult<Ref> build(uint32_t n);
  [[gnu::always_inline]] inline PyObject* try_scalar(uint32_t n);
  // A new str for each Str entry, as the writer's distinct strings were;
  // null with the error set when decoding failed.
  PyObject* decode_text(uint32_t index);
  struct ScalarView;
  uint32_t fill_scalars(PyObject* list, const GraphNode& node, uint32_t i);
  PyResult<Ref> child(uint32_t n) {
    if (PyObject* obj = try_scalar(n)) return Ref::steal(obj);
    if (PyErr_Occurred()) return PyError::fetch();
    return resolve(n);
  }
  PyResult<Ref> final_child(uint32_t n) {
    if (PyObject* obj = try_scalar(n)) return Ref::steal(obj);
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
  [[gnu::noinline]] PyResult<Ref> migrate(const graph::TypeEntry& entry, PyObject* cls, PyObject* instance,
                        PyObject* names, std::vector<Ref>& values, uint32_t stored,
                        uint32_t current);

  // A child that must be a finished object (key, element, field).
  PyResult<Ref> resolve_final(uint32_t n);
  PyResult<Ref> stand_in(uint32_t n);
  // Is `obj`, got for child number `n`, the stand-in of an unfinished entry?
  bool is_stand_in(uint32_t n, PyObject* obj) const {
    if (!stand_ins_ || !Py_IS_TYPE(obj, &PyBaseObject_Type)) return false;
    bool ok;
    const uint32_t t = final_number(doc_, n, ok);
    return ok && in_progress_[t] && memo_[t] == obj;
  }
  void add_patch(uint32_t n, PyObject* container, Py_ssize_t index, Ref key) {
    bool ok;
    patches_[final_number(doc_, n, ok)].push_back(
        Patch{Ref::borrow(container), index, std::move(key)});
    ++pending_;
  }
  bool runs_user_code(uint32_t n, PyObject* key);
  bool reaches_dataclass(uint32_t root);
  PyError restart() {
    restart_ = true;
    return Error{ErrorKind::Panic, "document out of canonical order"};
  }
  void store(uint32_t n, PyObject* obj) {
    if (canonical_ && !doc_.is_target(n)) return;
    if (PyObject* old = memo_[n]) {
      memo_[n] = Ref::borrow(obj).release();
      Py_DECREF(old);
      return;
    }
    memo_[n] = Ref::borrow(obj).release();
    stored_.push_back(n);
  }
  PyResult<Ok> finish_patches(uint32_t n, PyObject* finished, PyObject* stand_in);
  [[gnu::noinline]] PyResult<Ok> charge_hash(uint32_t n);
  PyResult<Ok> cache_type_strings(uint16_t type_id);
  PyResult<Ok> refuse_unfinished(PyObject* module, PyObject* instance, uint32_t stored,
                                 uint32_t current);
  PyResult<Ok> check_no_stand_ins() {
    if (pending_ == 0) return Ok();
    return value_error(
        "Invalid data: a dataclass would be built while a list or dict it can reach still "
        "waits for an unfinished tuple or frozenset");
  }
  // Hashing or comparing keys of user classes would show them the stand-ins.
  PyError user_hash_error() {
    return value_error(
        "Invalid data: a dataclass instance would be hashed or compared as a key or set "
        "element while a list or dict still waits for an unfinished tuple or frozenset");
  }
  uint64_t expanded_size(uint32_t n);

  const ParsedDocument& doc_;
  const uint8_t* input_end_;
  NestingBound stack_floor_;  // the native stack and the recursion limit
  ZeroedArray<PyObject*> memo_;   // object number -> owned object; numbers are dense
  std::vector<uint32_t> stored_;  // the numbers that hold a memo entry
  std::vector<uint8_t> decoded_;  // string index -> decoded once, so UTF-8
  std::unordered_map<uint32_t, std::vector<Patch>> patches_;  // unfinished entry -> places
  size_t pending_ = 0;     // patches not yet applied
  uint32_t stand_ins_ = 0;  // stand-ins made so far
  uint32_t opened_ = 0;     // containers whose build has started
  uint32_t next_ = 0;           // Canonical: the number the next direct visit must name
  uint32_t count_;              // entries in the object table
  bool canonical_;
  bool restart_ = false;
  AttributeProbe versions_{g_state.str_korvane_version, g_state.str_meridel_version};
  ModuleLookup reconstruct_{g_state.str_reconstruct};
  ModuleLookup legacy_reconstruct_{g_state.str_legacy_reconstruct};
  ModuleLookup migrations_{g_state.str_migrations};
  ModuleLookup legacy_migrations_{g_state.str_legacy_migrations};
  Ref unfinished_;  // the helper module's stand-in type, when it has one
  bool unfinished_known_ = false;
  std::vector<Ref> type_names_;               // type id -> class name str
  std::vector<std::vector<Ref>> field_strs_;  // type id -> interned field name strs
  std::vector<uint64_t> sizes_;  // expanded sizes of hashable containers, 0 unknown
  std::vector<bool> checked_;    // large keys found to hash in linear time
  std::vector<uint32_t> seen_;   // stamps of the walk counting distinct entries
  uint32_t stamp_ = 0;
  bool fill_in_place_;
  std::vector<bool> in_progress_;    // tuples and frozensets being built
  std::vector<uint8_t> user_hash_;   // reaches_dataclass per entry: 0 unknown, 1 busy, 2 no, 3 yes
  std::vector<uint32_t> open_since_;  // dataclass being built: 1 + opened_ at its start
};

PyResult<Ref> Decoder::stand_in(uint32_t n) {
  Ref obj = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!obj) return PyError::fetch();
  store(n, obj.get());  // Canonical: only a Reference reaches here, so n is a target
  ++stand_ins_;
  return obj;
}

PyResult<Ref> Decoder::resolve(uint32_t n) {
  if (n >= doc_.object_count())
    return value_error("Invalid reference: " + std::to_string(n));
  if (canonical_) {
    if (n != next_) return restart();
    ++next_;
    if (!doc_.is_reference(n)) return build(n);  // first and only direct visit
  }
  if (doc_.is_reference(n)) {
    const uint64_t end = doc_.objects[n];
    if (end == ParsedDocument::kRefLoop)
      return value_error("Invalid data: reference loop at object " + std::to_string(n));
    if ((end & ParsedDocument::kRefMissing) == ParsedDocument::kRefMissing)
      return value_error("Invalid reference: " + std::to_string(end & 0xFFFFFFFFu));
    n = static_cast<uint32_t>(end);
    if (canonical_ && !memo_[n] && !in_progress_[n]) return restart();  // a forward reference
  }
  if (PyObject* done = memo_[n]) return Ref::borrow(done);
  if (in_progress_[n]) return stand_in(n);
  return build(n);
}

// The common case without the general machinery: a scalar child that is the
// next entry in canonical order and that no Reference names is built here
// and not memoised; so is a Reference to a finished object. Null (with no
// error set unless making the object failed) sends the caller the slow way.
// The view holds the decoder's state in locals for a loop over many
// children; `next` stands for next_ while it runs.
struct Decoder::ScalarView {
  Decoder& d;
  const uint64_t* const words = d.doc_.objects.data();
  const uint8_t* const base = d.doc_.input.data();
  const uint8_t* const end = d.input_end_;
  const size_t string_count = d.decoded_.size();
  const uint32_t count = d.count_;

  [[gnu::always_inline]] inline PyObject* take(uint32_t n, uint32_t& next) const {
    if (n != next || n >= count) return nullptr;
    const uint64_t word = words[n];
    PyObject* obj;
    if (word & ParsedDocument::kRefBit) {
      // A Reference to a finished object (the usual repeated key or value).
      if ((word & (ParsedDocument::kRefLoop | ParsedDocument::kRefMissing)) != ParsedDocument::kRefBit)
        return nullptr;
      obj = d.memo_[static_cast<uint32_t>(word)];
      // A bare object may be a stand-in: the slow path tells.
      if (!obj || Py_IS_TYPE(obj, &PyBaseObject_Type)) return nullptr;
      Py_INCREF(obj);
    } else {
      if (word & ParsedDocument::kTargetBit) return nullptr;
      const uint8_t* p = base + word;
      if (p[0] == kTagStr) {
        uint32_t index;
        std::memcpy(&index, p + 1, 4);
        if (index >= string_count) return nullptr;
        obj = d.decode_text(index);
        if (!obj) return nullptr;
      } else if (p[0] <= kTagFloat) {
        obj = new_plain(p, end);
        if (!obj) return nullptr;
      } else {
        return nullptr;
      }
    }
    ++next;
    return obj;
  }
};

inline PyObject* Decoder::try_scalar(uint32_t n) {
  if (!canonical_) return nullptr;
  return ScalarView{*this}.take(n, next_);
}

// try_scalar over the items of a list made at its full length, from item
// `i` on: a long list of numbers or repeated values is filled here. Returns
// the first item it left (with an error set if making an object failed).
uint32_t Decoder::fill_scalars(PyObject* list, const GraphNode& node, uint32_t i) {
  if (!canonical_) return i;
  const ScalarView view{*this};
  uint32_t next = next_;
  for (; i < node.count; ++i) {
    PyObject* obj = view.take(node.child(i), next);
    if (!obj) break;
    PyList_SetItem(list, i, obj);
  }
  next_ = next;
  return i;
}

PyObject* Decoder::decode_text(uint32_t index) {
  const std::string_view text = doc_.text(index);
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (str) decoded_[index] = 1;
  return str;
}

PyResult<Ref> Decoder::resolve_final(uint32_t n) {
  KV_ASSIGN_OR_RETURN(Ref obj, resolve(n));
  if (is_stand_in(n, obj.get()))
    return value_error(
        "Invalid data: a tuple or frozenset is reached from inside itself through a key, "
        "a set element, a tuple, a frozenset or a dataclass field");
  return obj;
}

PyResult<Ref> Decoder::build(uint32_t n) {
  const uint8_t* p = doc_.input.data() + doc_.offset(n);
  PyObject* obj;
  switch (p[0]) {
    case kTagNone:
    case kTagTrue:
    case kTagFalse:
    case kTagInt:
    case kTagFloat: obj = new_plain(p, input_end_); break;
    case kTagStr: {
      uint32_t index;
      std::memcpy(&index, p + 1, 4);
      KV_ASSIGN_OR_RETURN(Ref str, build_str(index));
      obj = str.release();
      break;
    }
    case kTagBytes: {
      uint32_t size;
      std::memcpy(&size, p + 1, 4);
      obj = new_bytes(p + 5, size);
      break;
    }
    case kTagList: return build_list(n, doc_.node(n));
    case kTagTuple: return build_tuple(n, doc_.node(n));
    case kTagDict: return build_dict(n, doc_.node(n));
    case kTagSet: return build_set(n, doc_.node(n));
    case kTagFrozenSet: return build_frozenset(n, doc_.node(n));
    case kTagDataclass: return build_dataclass(n, doc_.node(n));
    default: return Error{ErrorKind::Panic, "unexpected entry kind"};
  }
  if (!obj) return PyError::fetch();
  store(n, obj);
  return Ref::steal(obj);
}

PyResult<Ref> Decoder::build_str(uint32_t index) {
  if (index >= doc_.string_count())
    return value_error("Invalid string index: " + std::to_string(index));
  return check(decode_text(index));
}

PyResult<Ref> Decoder::build_list(uint32_t n, const GraphNode& node) {
  Ref list = Ref::steal(PyList_New(fill_in_place_ ? node.count : 0));
  if (!list) return PyError::fetch();
  store(n, list.get());
  ++opened_;
  DepthGuard guard;
  if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
  for (uint32_t i = 0; i < node.count; ++i) {
    if (fill_in_place_) {
      if (PyObject* scalar = try_scalar(node.child(i))) {
        PyList_SetItem(list.get(), i, scalar);
        // A scalar item often starts a run of them; the loop goes on
        // with the item that ends the run.
        i = fill_scalars(list.get(), node, i + 1) - 1;
        if (PyErr_Occurred()) return PyError::fetch();
        continue;
      }
    }
    KV_ASSIGN_OR_RETURN(Ref item, child(node.child(i)));
    if (is_stand_in(node.child(i), item.get()))
      add_patch(node.child(i), list.get(), static_cast<Py_ssize_t>(i), Ref());
    if (fill_in_place_) {
      PyList_SetItem(list.get(), i, item.release());
    } else if (PyList_Append(list.get(), item.get()) < 0) {
      return PyError::fetch();
    }
  }
  return list;
}

PyResult<Ref> Decoder::build_dict(uint32_t n, const GraphNode& node) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return PyError::fetch();
  store(n, dict.get());
  ++opened_;
  DepthGuard guard;
  if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
  bool user_keys = false;  // a key whose hashing or comparing runs user code
  for (uint32_t i = 0; i < node.count; ++i) {
    Ref key, value;
    if (PyObject* plain = try_scalar(node.child(2 * i))) {
      key = Ref::steal(plain);
    } else {
      if (PyErr_Occurred()) return PyError::fetch();
      KV_ASSIGN_OR_RETURN(key, resolve_final(node.child(2 * i)));
    }
    if (PyObject* plain = try_scalar(node.child(2 * i + 1))) {
      value = Ref::steal(plain);
    } else {
      if (PyErr_Occurred()) return PyError::fetch();
      KV_ASSIGN_OR_RETURN(value, resolve(node.child(2 * i + 1)));
    }
    if (might_hash_slowly(key.get())) {
      KV_TRY(charge_hash(node.child(2 * i)));
      user_keys = user_keys || runs_user_code(node.child(2 * i), key.get());
    }
    if (user_keys && pending_) return user_hash_error();
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return PyError::fetch();
    if (is_stand_in(node.child(2 * i + 1), value.get())) {
      // Patching sets the item again, which hashes and compares the keys.
      if (user_keys) return user_hash_error();
      add_patch(node.child(2 * i + 1), dict.get(), -1, std::move(key));
    }
  }
  return dict;
}

PyResult<Ref> Decoder::build_set(uint32_t n, const GraphNode& node) {
  Ref set = Ref::steal(PySet_New(nullptr));
  if (!set) return PyError::fetch();
  store(n, set.get());
  ++opened_;
  DepthGuard guard;
  if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
  bool user_items = false;  // an element whose hashing or comparing runs user code
  for (uint32_t i = 0; i < node.count; ++i) {
    KV_ASSIGN_OR_RETURN(Ref item, final_child(node.child(i)));
    if (might_hash_slowly(item.get())) {
      KV_TRY(charge_hash(node.child(i)));
      user_items = user_items || runs_user_code(node.child(i), item.get());
    }
    if (user_items && pending_) return user_hash_error();
    if (PySet_Add(set.get(), item.get()) < 0) return PyError::fetch();
  }
  return set;
}

PyResult<Ok> Decoder::finish_patches(uint32_t n, PyObject* finished, PyObject* stand_in) {
  auto found = patches_.find(n);
  if (found == patches_.end()) return Ok();
  const std::vector<Patch> places = std::move(found->second);
  patches_.erase(found);
  pending_ -= places.size();
  for (const Patch& p : places) {
    PyObject* c = p.container.get();
    if (p.index >= 0) {
      if (p.index < PyList_Size(c) && PyList_GetItem(c, p.index) == stand_in) {
        Py_INCREF(finished);
        if (PyList_SetItem(c, p.index, finished) < 0) return PyError::fetch();
      }
      continue;
    }
    // No key of this dict runs user code (build_dict saw to that).
    PyObject* now = PyDict_GetItemWithError(c, p.key.get());  // borrowed
    if (!now && PyErr_Occurred()) return PyError::fetch();
    if (now == stand_in && PyDict_SetItem(c, p.key.get(), finished) < 0) return PyError::fetch();
  }
  return Ok();
}

// Tuples and frozensets cannot exist before their items: a reference back
// to one meanwhile gets its stand-in, and patches give the finished object
// to the places that received it.
PyResult<Ref> Decoder::build_tuple(uint32_t n, const GraphNode& node) {
  in_progress_[n] = true;
  ++opened_;
  Ref tuple = Ref::steal(PyTuple_New(node.count));
  if (!tuple) return PyError::fetch();
  {
    DepthGuard guard;
    if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
    for (uint32_t i = 0; i < node.count; ++i) {
      KV_ASSIGN_OR_RETURN(Ref item, final_child(node.child(i)));
      PyTuple_SetItem(tuple.get(), i, item.release());
    }
  }
  in_progress_[n] = false;
  Ref stand_in = Ref::borrow(memo_[n]);  // held while the places are patched
  store(n, tuple.get());
  if (stand_in) KV_TRY(finish_patches(n, tuple.get(), stand_in.get()));
  return tuple;
}

PyResult<Ref> Decoder::build_frozenset(uint32_t n, const GraphNode& node) {
  in_progress_[n] = true;
  ++opened_;
  Ref set = Ref::steal(PyFrozenSet_New(nullptr));
  if (!set) return PyError::fetch();
  {
    DepthGuard guard;
    if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
    bool user_items = false;
    for (uint32_t i = 0; i < node.count; ++i) {
      KV_ASSIGN_OR_RETURN(Ref item, final_child(node.child(i)));
      if (might_hash_slowly(item.get())) {
        KV_TRY(charge_hash(node.child(i)));
        user_items = user_items || runs_user_code(node.child(i), item.get());
      }
      if (user_items && pending_) return user_hash_error();
      if (PySet_Add(set.get(), item.get()) < 0) return PyError::fetch();
    }
  }
  in_progress_[n] = false;
  Ref stand_in = Ref::borrow(memo_[n]);
  store(n, set.get());
  if (stand_in) KV_TRY(finish_patches(n, set.get(), stand_in.get()));
  return set;
}

// ---- hashing budget --------------------------------------------------------

// Hashing a tuple hashes each element again however often it is shared, so
// a few hundred bytes of tuples nested two by two would take exponential
// time to hash as a key. Before a key or set element is hashed, its expanded
// size (shared parts counted once per reference) is compared with the number
// of distinct entries it holds: a large key that expands far beyond its
// entries is refused. Keys without internal sharing hash in linear time and
// always pass, however often they are used.
constexpr uint64_t kSmallKey = 1024;   // expanded sizes up to this always pass
constexpr uint64_t kMaxExpansion = 64;  // allowed expanded size per distinct entry

uint32_t final_number(const ParsedDocument& doc, uint32_t n, bool& ok) {
  ok = n < doc.object_count();
  if (!ok || !doc.is_reference(n)) return n;
  const uint64_t end = doc.objects[n];
  ok = (end & ParsedDocument::kRefMissing) != ParsedDocument::kRefMissing &&
       end != ParsedDocument::kRefLoop;
  return static_cast<uint32_t>(end);
}

bool hashes_children(const ParsedDocument& doc, uint32_t n) {
  const uint8_t tag = doc.input[doc.offset(n)];
  return tag == kTagTuple || tag == kTagFrozenSet || tag == kTagDataclass;
}

// The children of `n` that hashing visits (through Reference entries).
template <class F>
void for_each_hashed_child(const ParsedDocument& doc, uint32_t n, F&& f) {
  const GraphNode node = doc.node(n);
  for (uint32_t i = 0; i < node.count; ++i) {
    bool ok;
    const uint32_t c = final_number(doc, node.child(i), ok);
    f(ok && hashes_children(doc, c) ? c : UINT32_MAX);
  }
}

// Expanded size of `root`, saturating at `cap`; sizes are cached per entry.
uint64_t Decoder::expanded_size(uint32_t root) {
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
      bool ok;
      const uint32_t c = final_number(doc_, node.child(f.next++), ok);
      if (!ok || !hashes_children(doc_, c) || sizes_[c] == kBusy) {
        f.total += 1;  // a leaf, or a cycle the decoder reports when it gets there
      } else if (sizes_[c]) {
        f.total = std::min(cap, f.total + sizes_[c]);
      } else {
        sizes_[c] = kBusy;
        stack.push_back(Frame{c, 0, 1});
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
// `seen` holds a stamp per entry, `stamp` is fresh for this walk.
uint64_t distinct_entries(const ParsedDocument& doc, uint32_t root, uint64_t limit,
                          std::vector<uint32_t>& seen, uint32_t stamp) {
  std::vector<uint32_t> stack{root};
  seen[root] = stamp;
  uint64_t count = 0;
  while (!stack.empty() && count <= limit) {
    const uint32_t n = stack.back();
    stack.pop_back();
    ++count;
    const GraphNode node = doc.node(n);
    for (uint32_t i = 0; i < node.count; ++i) {
      bool ok;
      const uint32_t c = final_number(doc, node.child(i), ok);
      if (!ok || seen[c] == stamp) continue;
      seen[c] = stamp;
      if (hashes_children(doc, c)) stack.push_back(c);
      else ++count;
    }
  }
  return count;
}

PyResult<Ok> Decoder::charge_hash(uint32_t n) {
  bool ok;
  const uint32_t m = final_number(doc_, n, ok);
  if (!ok || !hashes_children(doc_, m)) return Ok();
  const uint64_t size = expanded_size(m);
  if (size <= kSmallKey) return Ok();
  if (checked_.empty()) checked_.assign(doc_.object_count(), false);
  if (checked_[m]) return Ok();
  if (seen_.empty()) seen_.assign(doc_.object_count(), 0);
  if (size > kMaxExpansion * distinct_entries(doc_, m, size / kMaxExpansion, seen_, ++stamp_))
    return value_error(
        "Invalid data: a dict key or set element shares its tuples so often that hashing it "
        "would visit " + std::to_string(size) + " or more elements");
  checked_[m] = true;
  return Ok();
}

// Would hashing or comparing `key`, built for child number `n`, run code of
// a class that make_class gave? Dataclass instances, and tuples and
// frozensets holding one, may; str, int, float, bytes and the rest never do.
bool Decoder::runs_user_code(uint32_t n, PyObject* key) {
  if (doc_.dataclass_entries == 0 || Py_IS_TYPE(key, &PyBytes_Type)) return false;
  if (!Py_IS_TYPE(key, &PyTuple_Type) && !Py_IS_TYPE(key, &PyFrozenSet_Type)) return true;
  bool ok;
  const uint32_t m = final_number(doc_, n, ok);
  return !ok || reaches_dataclass(m);
}

// Does hashing entry `root` reach a Dataclass entry? Cached per entry; an
// entry met again while its own walk is open counts as reaching one.
bool Decoder::reaches_dataclass(uint32_t root) {
  enum : uint8_t { kUnknown, kBusy, kNo, kYes };
  if (user_hash_.empty()) user_hash_.assign(doc_.object_count(), kUnknown);
  if (user_hash_[root] == kNo || user_hash_[root] == kYes) return user_hash_[root] == kYes;
  struct Frame {
    uint32_t n;
    uint32_t next;
    bool yes;
  };
  std::vector<Frame> stack{{root, 0, doc_.input[doc_.offset(root)] == kTagDataclass}};
  user_hash_[root] = kBusy;
  while (!stack.empty()) {
    Frame& f = stack.back();
    const GraphNode node = doc_.node(f.n);
    if (!f.yes && f.next < node.count) {
      bool ok;
      const uint32_t c = final_number(doc_, node.child(f.next++), ok);
      if (!ok || !hashes_children(doc_, c)) continue;
      if (user_hash_[c] == kYes || user_hash_[c] == kBusy) {
        f.yes = true;
      } else if (user_hash_[c] == kUnknown) {
        user_hash_[c] = kBusy;
        stack.push_back(Frame{c, 0, doc_.input[doc_.offset(c)] == kTagDataclass});
      }
      continue;
    }
    const bool yes = f.yes;
    user_hash_[f.n] = yes ? kYes : kNo;
    stack.pop_back();
    if (yes && !stack.empty()) stack.back().yes = true;
  }
  return user_hash_[root] == kYes;
}

// ---- dataclasses ---------------------------------------------------------

PyResult<Ref> Decoder::build_dataclass(uint32_t n, const GraphNode& node) {
  if (node.type_id >= doc_.types.size())
    return value_error("Invalid type_id: " + std::to_string(node.type_id));
  const graph::TypeEntry& entry = doc_.types.entry(node.type_id);
  KV_TRY(check_no_stand_ins());
  KV_ASSIGN_OR_RETURN(Ref module, import_helper(reconstruct_, legacy_reconstruct_));
  const auto name_count = static_cast<Py_ssize_t>(entry.field_names.size());
  KV_TRY(cache_type_strings(node.type_id));
  std::vector<Ref> values;
  {
    // A field that leads back to this entry builds it again. When no
    // container was started since this build began, the way back passed
    // through dataclass entries alone: the new build would take the same
    // way again, for ever.
    if (open_since_.empty()) open_since_.assign(doc_.object_count(), 0);
    if (open_since_[n] == opened_ + 1)
      return Error{ErrorKind::Recursion,
                   "maximum nesting depth exceeded while decoding: dataclass entry " +
                       std::to_string(n) + " holds itself through dataclass fields alone"};
    struct Reopen {
      uint32_t& slot;
      uint32_t saved;
      ~Reopen() { slot = saved; }
    } reopen{open_since_[n], open_since_[n]};
    open_since_[n] = opened_ + 1;
    DepthGuard guard;
    if (!guard.enter(stack_floor_, kWhere)) return PyError::fetch();
    // Grown as the fields come, so an unfinished build holds no more than
    // the values it has.
    for (uint32_t i = 0; i < node.count; ++i) {
      KV_ASSIGN_OR_RETURN(Ref value, final_child(node.child(i)));
      values.push_back(std::move(value));
    }
  }
  const std::vector<Ref>& field_strs = field_strs_[node.type_id];
  Ref names = Ref::steal(PyList_New(name_count));
  if (!names) return PyError::fetch();
  for (Py_ssize_t i = 0; i < name_count; ++i)
    PyList_SetItem(names.get(), i, Ref::borrow(field_strs[i].get()).release());
  // Fields may hold lists still waiting for an unfinished tuple; user code
  // must never see the stand-in object in them.
  KV_TRY(check_no_stand_ins());
  Ref make_class = Ref::steal(module_attribute(module.get(), g_state.str_make_class));
  if (!make_class) return PyError::fetch();
  Ref class_name = Ref::borrow(type_names_[node.type_id].get());
  PyObject* const make_args[] = {class_name.get(), names.get()};
  Ref cls = Ref::steal(call_function(make_class.get(), make_args, 2));
  if (!cls) return PyError::fetch();
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return PyError::fetch();
  const Py_ssize_t pairs = std::min<Py_ssize_t>(name_count, static_cast<Py_ssize_t>(values.size()));
  for (Py_ssize_t i = 0; i < pairs; ++i)
    if (PyDict_SetItem(kwargs.get(), PyList_GetItem(names.get(), i), values[i].get()) < 0)
      return PyError::fetch();
  Ref instance = Ref::steal(PyObject_Call(cls.get(), g_state.empty_tuple, kwargs.get()));
  if (!instance) return PyError::fetch();

  // The class's current version, read from the instance; none means final.
  uint32_t current = 0;
  // An unreadable version means none; an interrupt or exit propagates.
  KV_ASSIGN_OR_RETURN(Ref version, versions_.first_found(instance.get()));
  if (version) {
    auto v = index_to_u32(version.get());
    if (v) {
      current = *v;
    } else {
      std::move(v).error().raise();
      if (!drop_ordinary_error()) return PyError::fetch();
    }
  }
  const uint32_t stored = entry.schema_version;
  if (stored != current && stored != 0 && current != 0) {
    KV_ASSIGN_OR_RETURN(instance, migrate(entry, cls.get(), instance.get(), names.get(), values,
                                          stored, current));
  } else {
    KV_TRY(refuse_unfinished(module.get(), instance.get(), stored, current));
  }
  store(n, instance.get());
  return instance;
}

// A constructor gives a stand-in of the helper module's `Unfinished` type
// when the stored fields lack a required one; only a migration can make the
// real instance from it. When none follows, the stand-in raises the load's
// error and is never stored or returned.
PyResult<Ok> Decoder::refuse_unfinished(PyObject* module, PyObject* instance, uint32_t stored,
                                        uint32_t current) {
  if (!unfinished_known_) {
    Ref attr = Ref::steal(PyUnicode_FromString("Unfinished"));
    if (!attr) return PyError::fetch();
    unfinished_ = Ref::steal(module_attribute(module, attr.get()));
    if (!unfinished_ || !PyType_Check(unfinished_.get())) {
      PyErr_Clear();  // a helper module without stand-ins
      unfinished_ = Ref();
    }
    unfinished_known_ = true;
  }
  if (!unfinished_ || Py_TYPE(instance) != reinterpret_cast<PyTypeObject*>(unfinished_.get()))
    return Ok();
  Ref result = Ref::steal(PyObject_CallMethod(instance, "refuse", "kk", static_cast<unsigned long>(stored),
                                              static_cast<unsigned long>(current)));
  if (!result) return PyError::fetch();
  return type_error("a dataclass was not rebuilt: the stored data lacks required fields");
}

// The class name and field names of a type entry, made once per load; field
// names are interned so that keyword matching in constructors is by identity.
PyResult<Ok> Decoder::cache_type_strings(uint16_t type_id) {
  if (type_names_.empty()) {
    type_names_.resize(doc_.types.size());
    field_strs_.resize(doc_.types.size());
  }
  if (type_names_[type_id]) return Ok();
  const graph::TypeEntry& entry = doc_.types.entry(type_id);
  std::vector<Ref> fields;
  fields.reserve(entry.field_names.size());
  for (std::string_view name : entry.field_names) {
    KV_ASSIGN_OR_RETURN(Ref text, new_str(name));
    PyObject* interned = text.release();
    PyUnicode_InternInPlace(&interned);
    fields.push_back(Ref::steal(interned));
  }
  KV_ASSIGN_OR_RETURN(Ref class_name, new_str(entry.name));
  field_strs_[type_id] = std::move(fields);
  type_names_[type_id] = std::move(class_name);
  return Ok();
}

// Passes the stored values through apply_migrations and builds the class
// again from its result; keys that match no field stay as extra state.
PyResult<Ref> Decoder::migrate(const graph::TypeEntry& entry, PyObject* cls, PyObject* first,
                               PyObject* names, std::vector<Ref>& values, uint32_t stored,
                               uint32_t current) {
  KV_ASSIGN_OR_RETURN(Ref module, import_helper(migrations_, legacy_migrations_));
  Ref mapping = Ref::steal(PyDict_New());
  Ref stored_obj = Ref::steal(PyLong_FromUnsignedLong(stored));
  Ref current_obj = Ref::steal(PyLong_FromUnsignedLong(current));
  if (!mapping || !stored_obj || !current_obj) return PyError::fetch();
  const Py_ssize_t pairs =
      std::min<Py_ssize_t>(PyList_Size(names), static_cast<Py_ssize_t>(values.size()));
  for (Py_ssize_t i = 0; i < pairs; ++i)
    if (PyDict_SetItem(mapping.get(), PyList_GetItem(names, i), values[i].get()) < 0)
      return PyError::fetch();
  if (PyDict_SetItem(mapping.get(), g_state.str_korvane_version, stored_obj.get()) < 0 ||
      PyDict_SetItem(mapping.get(), g_state.str_meridel_version, stored_obj.get()) < 0)
    return PyError::fetch();
  Ref apply = Ref::steal(module_attribute(module.get(), g_state.str_apply_migrations));
  if (!apply) return PyError::fetch();
  KV_ASSIGN_OR_RETURN(Ref class_name, new_str(entry.name));
  Ref migrated = Ref::steal(PyObject_CallFunctionObjArgs(
      apply.get(), class_name.get(), mapping.get(), stored_obj.get(), current_obj.get(), nullptr));
  if (!migrated) return PyError::fetch();
  if (!PyDict_Check(migrated.get())) return type_error("Migration function must return a dict");

  auto is_version_key = [](std::string_view k) {
    return k == "__korvane_version__" || k == "__meridel_version__";
  };
  auto key_text = [](PyObject* key) -> PyResult<std::string_view> {
    if (!PyUnicode_Check(key)) return conversion_error(key, "PyString");
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (!data) return PyError::fetch();
    return std::string_view(data, static_cast<size_t>(size));
  };

  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs) return PyError::fetch();
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(migrated.get(), &pos, &key, &value)) {
    KV_ASSIGN_OR_RETURN(std::string_view k, key_text(key));
    if (is_version_key(k)) continue;
    if (PyDict_SetItem(kwargs.get(), key, value) < 0) return PyError::fetch();
  }
  Ref second = Ref::steal(PyObject_Call(cls, g_state.empty_tuple, kwargs.get()));
  if (!second) return PyError::fetch();

  Ref fields = Ref::steal(PyObject_GetAttr(first, g_state.str_dataclass_fields));
  if (!fields) return PyError::fetch();
  if (!PyDict_Check(fields.get())) return type_error("__dataclass_fields__ is not a dict");
  std::vector<std::string_view> field_names;
  Ref field_keys = Ref::steal(PyDict_Keys(fields.get()));
  if (!field_keys) return PyError::fetch();
  for (Py_ssize_t i = 0; i < PyList_Size(field_keys.get()); ++i) {
    KV_ASSIGN_OR_RETURN(std::string_view f, key_text(PyList_GetItem(field_keys.get(), i)));
    field_names.push_back(f);
  }
  Ref extra = Ref::steal(PyDict_New());
  if (!extra) return PyError::fetch();
  pos = 0;
  while (PyDict_Next(migrated.get(), &pos, &key, &value)) {
    KV_ASSIGN_OR_RETURN(std::string_view k, key_text(key));
    if (is_version_key(k)) continue;
    if (std::find(field_names.begin(), field_names.end(), k) != field_names.end()) continue;
    if (PyDict_SetItem(extra.get(), key, value) < 0) return PyError::fetch();
  }
  if (PyDict_Size(extra.get()) > 0) {
    for (PyObject* attr : {g_state.str_korvane_extra, g_state.str_meridel_extra})
      if (PyObject_SetAttr(second.get(), attr, extra.get()) < 0 && !drop_ordinary_error())
        return PyError::fetch();
  }
  return second;
}

// Would a Canonical build meet every entry where it expects it, so that it
// never asks for a restart? A build that runs user code (dataclass entries)
// cannot be restarted, so such documents are checked before building: the
// walk below visits entries in the build's order without building anything.
// False is always safe (the Exact build is merely slower), so the walk gives
// up on nesting deeper than any build could go.
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
      const uint64_t word = doc.objects[n];
      if ((word & (ParsedDocument::kRefLoop | ParsedDocument::kRefMissing)) != ParsedDocument::kRefBit)
        return false;
      const auto target = static_cast<uint32_t>(word);
      return target < n && !building[target];
    }
    const uint8_t* p = doc.input.data() + doc.offset(n);
    uint32_t children;
    switch (p[0]) {
      case kTagList:
      case kTagTuple:
      case kTagSet:
      case kTagFrozenSet: std::memcpy(&children, p + 1, 4); break;
      case kTagDict:
        std::memcpy(&children, p + 1, 4);
        children *= 2;  // the reader checked that the pairs fit the input
        break;
      case kTagDataclass: {
        uint16_t fields;
        std::memcpy(&fields, p + 3, 2);
        children = fields;
        building[n] = true;
        break;
      }
      default: return true;
    }
    if (open.size() == kMaxDepth) return false;
    open.push_back(Frame{p + 5, children, n});
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
    uint32_t child;
    std::memcpy(&child, f.slots, 4);
    f.slots += 4;
    --f.left;
    if (!visit(child)) return false;  // may grow `open`: f is not used after
  }
  return true;
}

// ---- cycles of dataclasses -----------------------------------------------

// A dataclass enters the memo only when it is finished, so a cycle whose
// entries are all Dataclass entries (and References between them) would be
// built again and again without end. Such a cycle that the root reaches is
// refused before any class is called; `korvane.document.check` finds the
// same object by the same walk.

// The final entry of child `c` when it is a Dataclass entry with a known
// type (one with an unknown type id fails before its fields are built, so a
// cycle cannot pass through it), else UINT32_MAX.
uint32_t dataclass_child(const ParsedDocument& doc, uint32_t c) {
  bool ok;
  const uint32_t m = final_number(doc, c, ok);
  if (!ok) return UINT32_MAX;
  const uint8_t* p = doc.input.data() + doc.offset(m);
  if (p[0] != kTagDataclass) return UINT32_MAX;
  uint16_t type_id;
  std::memcpy(&type_id, p + 1, 2);
  return type_id < doc.types.size() ? m : UINT32_MAX;
}

uint32_t children_of(const ParsedDocument& doc, uint32_t n, const GraphNode& node) {
  switch (doc.input[doc.offset(n)]) {
    case kTagList:
    case kTagTuple:
    case kTagSet:
    case kTagFrozenSet:
    case kTagDataclass: return node.count;
    case kTagDict: return 2 * node.count;
    default: return 0;
  }
}

// Entries the root reaches through any children.
std::vector<bool> reachable_entries(const ParsedDocument& doc) {
  std::vector<bool> seen(doc.object_count());
  bool ok;
  const uint32_t root = final_number(doc, 0, ok);
  if (!ok) return seen;
  std::vector<uint32_t> stack{root};
  seen[root] = true;
  while (!stack.empty()) {
    const uint32_t n = stack.back();
    stack.pop_back();
    const GraphNode node = doc.node(n);
    const uint32_t count = children_of(doc, n, node);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t c = final_number(doc, node.child(i), ok);
      if (ok && !seen[c]) {
        seen[c] = true;
        stack.push_back(c);
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

PyResult<Ok> check_dataclass_cycles(const ParsedDocument& doc) {
  if (doc.dataclass_entries < 1 || first_dataclass_cycle(doc, nullptr) == UINT32_MAX) return Ok();
  const std::vector<bool> reachable = reachable_entries(doc);
  const uint32_t n = first_dataclass_cycle(doc, &reachable);
  if (n == UINT32_MAX) return Ok();
  return value_error("Invalid data: a cycle made only of dataclasses passes through object " +
                     std::to_string(n));
}

// Checks every Dataclass entry, reachable or not, before anything is built.
PyResult<Ok> check_allowlist(const ParsedDocument& doc, PyObject* allowlist) {
  if (doc.dataclass_entries == 0) return Ok();
  for (uint32_t n = 0; n < doc.object_count(); ++n) {
    if (doc.is_reference(n) || doc.input[doc.offset(n)] != kTagDataclass) continue;
    const GraphNode node = doc.node(n);
    if (node.type_id >= doc.types.size())
      return value_error("Unknown type_id: " + std::to_string(node.type_id));
    const std::string_view name = doc.types.entry(node.type_id).name;
    KV_ASSIGN_OR_RETURN(Ref text, new_str(name));
    const int found = PySet_Contains(allowlist, text.get());
    if (found < 0) return PyError::fetch();
    if (!found) return type_error("Type '" + std::string(name) + "' is not in the allowlist");
  }
  return Ok();
}

}  // namespace

PyResult<Ref> decode(PyObject* data, PyObject* allowlist) {
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return PyError::fetch();
  // Texts are decoded by the interpreter's strict UTF-8 decoder, which
  // checks them; the reader need not check them first.
  KV_ASSIGN_OR_RETURN(ParsedDocument doc,
                      read_document({reinterpret_cast<const uint8_t*>(bytes),
                                     static_cast<size_t>(size)},
                                    TextCheck::Caller));
  if (allowlist) KV_TRY(check_allowlist(doc, allowlist));
  KV_TRY(check_dataclass_cycles(doc));
  const bool plain = doc.dataclass_entries == 0;
  const auto mode =
      plain || in_canonical_order(doc) ? Decoder::Mode::Canonical : Decoder::Mode::Exact;
  // Every container built here stays reachable until the load returns, so a
  // collection in the middle could free nothing; it would only walk the new
  // objects again and again. Without dataclass entries no user code runs, so
  // nobody can observe the collector paused.
  GcPause pause(plain);
  // A text that is not UTF-8 is the reader's error, which comes before any
  // other; whatever the build gave is dropped for it.
  auto finish = [](const Decoder& decoder, PyResult<Ref> result) -> PyResult<Ref> {
    if (auto fault = decoder.text_fault()) return std::move(*fault);
    return result;
  };
  {
    Decoder decoder(doc, mode);
    auto result = decoder.resolve(0);
    if (!decoder.needs_restart()) return finish(decoder, std::move(result));
  }
  Decoder decoder(doc, Decoder::Mode::Exact);
  return finish(decoder, decoder.resolve(0));
}

}  // namespace korvane::format
