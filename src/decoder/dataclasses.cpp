// src/decoder/dataclasses.cpp: Dataclass entries: their fields are built
// first, then the class resolution makes the instance.
#include <algorithm>
#include <string>

#include "decoder/engine.h"

namespace korvane::decoder {

namespace {
constexpr uint32_t kFieldsAtOnce = 16;
}  // namespace

PyResult<Ok> Decoder::check_no_stand_ins() const {
  if (pending_ == 0) return Ok();
  return value_error(
      "Invalid data: a dataclass would be built while a list or dict it can reach still "
      "waits for an unfinished tuple or frozenset");
}

// A field that leads back to this entry builds it again. When no container
// was started since this build began, the way back passed through dataclass
// entries alone: the new build would take the same way again, for ever.
PyResult<Ok> Decoder::build_fields(uint32_t n, const GraphNode& node, std::vector<Ref>& values) {
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
  // Room for a usual class at once; past that grown as the fields come, so
  // an unfinished build holds no more than the values it has.
  values.reserve(std::min<uint32_t>(node.count, kFieldsAtOnce));
  for (uint32_t i = 0; i < node.count; ++i) {
    KV_ASSIGN_OR_RETURN(Ref value, final_child(node.child(i)));
    values.push_back(std::move(value));
  }
  return Ok();
}

PyResult<Ref> Decoder::build_dataclass(uint32_t n, const GraphNode& node) {
  if (node.type_id >= doc_.types.size())
    return value_error("Invalid type_id: " + std::to_string(node.type_id));
  KV_TRY(check_no_stand_ins());
  KV_ASSIGN_OR_RETURN(Ref module, classes_.helper_module());
  KV_TRY(classes_.cache_type_strings(node.type_id));
  std::vector<Ref> values;
  KV_TRY(build_fields(n, node, values));
  // Fields may hold lists still waiting for an unfinished tuple; user code
  // must never see the stand-in object in them.
  KV_TRY(check_no_stand_ins());
  KV_ASSIGN_OR_RETURN(Ref instance,
                      classes_.instantiate(module.get(), node.type_id, values));
  store(n, instance.get());
  return instance;
}

}  // namespace korvane::decoder
