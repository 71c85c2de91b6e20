// src/decoder/gate.cpp: the allowlist gate.
#include "decoder/gate.h"

#include <string>

#include "decoder/classes.h"
#include "format/entry.h"
#include "format/format.h"

namespace korvane::decoder {

PyResult<Ok> check_allowlist(const format::ParsedDocument& doc, PyObject* allowlist) {
  if (doc.dataclass_entries == 0) return Ok();
  for (uint32_t n = 0; n < doc.object_count(); ++n) {
    if (doc.is_reference(n) || doc.tag(n) != format::kTagDataclass) continue;
    const uint16_t type_id = format::layout::type_id(doc.at(n));
    if (type_id >= doc.types.size())
      return value_error("Unknown type_id: " + std::to_string(type_id));
    const std::string_view name = doc.types.entry(type_id).name;
    KV_ASSIGN_OR_RETURN(Ref text, new_str(name));
    const int found = PySet_Contains(allowlist, text.get());
    if (found < 0) return PyError::fetch();
    if (!found) return type_error("Type '" + std::string(name) + "' is not in the allowlist");
  }
  return Ok();
}

}  // namespace korvane::decoder
