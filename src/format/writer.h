// src/format/writer.h: lays a captured graph out as a document.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/result.h"
#include "format/object_table.h"
#include "format/string_table.h"
#include "format/type_table.h"

namespace korvane::format {

// Makes every type name and field name known to the string table (after the
// captured texts) and gives the exact size of the document, or an error when
// a value does not fit its field.
Result<uint64_t> prepare_document(StringTable& strings, const ObjectTable& table,
                                  const TypeRegistry& types);

// Writes the prepared document into `out`, which holds exactly its size.
// The texts and the table are consumed: they are only good for being
// discarded afterwards.
void write_prepared(StringTable& strings, ObjectTable& table, const TypeRegistry& types,
                    std::span<uint8_t> out);

// Both steps into one owned buffer.
Result<std::vector<uint8_t>> write_document(StringTable& strings, ObjectTable& table,
                                            const TypeRegistry& types);

}  // namespace korvane::format
