// src/format/type_table.h: the type table, one entry per dataclass name.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::format {

// Texts are views: into the registry's own storage when it copies them (the
// capture), or into the input document (the reader), so a type table whose
// field indexes all name one huge string costs no copies.
struct TypeEntry {
  std::string_view name;
  std::vector<std::string_view> field_names;
  uint32_t schema_version = 0;
};

class TypeRegistry {
 public:
  enum class Texts { Copy, Borrow };
  explicit TypeRegistry(Texts texts = Texts::Copy);
  TypeRegistry(TypeRegistry&&) = default;
  TypeRegistry& operator=(TypeRegistry&&) = default;

  // The position of `name`, appending a new entry when it is new. The first
  // registration of a name wins: a later one's fields and version are dropped.
  uint32_t register_type(std::string_view name, std::span<const std::string_view> field_names,
                         uint32_t schema_version);
  std::optional<uint32_t> find(std::string_view name) const;

  size_t size() const noexcept { return entries_.size(); }
  const TypeEntry& entry(size_t id) const noexcept { return entries_[id]; }
  const std::deque<TypeEntry>& entries() const noexcept { return entries_; }

 private:
  struct SeededHash {
    uint64_t seed;
    size_t operator()(std::string_view s) const noexcept;
  };
  std::string_view keep(std::string_view text);

  Texts texts_;
  std::deque<std::string> storage_;  // deque: stored texts never move
  std::deque<TypeEntry> entries_;
  std::unordered_map<std::string_view, uint32_t, SeededHash> id_of_;
};

}  // namespace korvane::format
