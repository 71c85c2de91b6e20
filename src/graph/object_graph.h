// src/graph/object_graph.h: the captured object graph: its texts and its
// object table, with the type table beside it.
#pragma once

#include "format/entry.h"
#include "format/object_table.h"
#include "format/string_table.h"
#include "format/type_table.h"

namespace korvane::graph {

using format::GraphNode;
using format::NodeKind;
using format::Slots;
using format::StringTable;
using format::TypeEntry;
using format::TypeRegistry;

// The capture appends entries to the table and texts to `strings`.
class ObjectGraph : public format::ObjectTable {
 public:
  StringTable strings;
};

}  // namespace korvane::graph
