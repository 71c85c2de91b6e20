// src/format/writer.h: lays a captured graph out as a document.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/result.h"
#include "graph/object_graph.h"
#include "graph/type_registry.h"

namespace korvane::format {

// Makes every type name and field name known to the string table (after the
// captured texts) and gives the exact size of the document, or an error when
// a value does not fit its field.
Result<uint64_t> prepare_document(graph::ObjectGraph& graph, const graph::TypeRegistry& types);

// Writes the prepared document into `out`, which holds exactly its size.
// The graph's texts and table are consumed: the graph is only good for
// being discarded afterwards.
void write_prepared(graph::ObjectGraph& graph, const graph::TypeRegistry& types,
                    std::span<uint8_t> out);

// Both steps into one owned buffer.
Result<std::vector<uint8_t>> write_document(graph::ObjectGraph& graph,
                                            const graph::TypeRegistry& types);

}  // namespace korvane::format
