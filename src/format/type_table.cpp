// src/format/type_table.cpp: registration of dataclass types by bare name.
#include "format/type_table.h"

#include "core/hashing.h"

namespace korvane::format {

size_t TypeRegistry::SeededHash::operator()(std::string_view s) const noexcept {
  return hash_bytes(s.data(), s.size(), seed);
}

TypeRegistry::TypeRegistry(Texts texts)
    : texts_(texts), id_of_(8, SeededHash{next_map_seed()}) {}

std::string_view TypeRegistry::keep(std::string_view text) {
  if (texts_ == Texts::Borrow) return text;
  return storage_.emplace_back(text);
}

uint32_t TypeRegistry::register_type(std::string_view name,
                                     std::span<const std::string_view> field_names,
                                     uint32_t schema_version) {
  if (auto id = find(name)) return *id;
  const auto id = static_cast<uint32_t>(entries_.size());
  TypeEntry& entry = entries_.emplace_back();
  entry.name = keep(name);
  entry.field_names.reserve(field_names.size());
  for (std::string_view f : field_names) entry.field_names.push_back(keep(f));
  entry.schema_version = schema_version;
  id_of_.emplace(entry.name, id);
  return id;
}

std::optional<uint32_t> TypeRegistry::find(std::string_view name) const {
  auto it = id_of_.find(name);
  if (it == id_of_.end()) return std::nullopt;
  return it->second;
}

}  // namespace korvane::format
