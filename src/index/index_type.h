// The four kinds of secondary index. The numeric value is the tag stored in
// "metadata.bin"; the printed name is what messages show.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zudizid::index {

enum class IndexType : std::uint8_t { Hash = 0, BTree = 1, FullText = 2, Taxonomy = 3 };

inline constexpr std::uint32_t kIndexTypeCount = 4;

constexpr std::string_view index_type_name(IndexType t) {
  switch (t) {
    case IndexType::Hash: return "Hash";
    case IndexType::BTree: return "BTree";
    case IndexType::FullText: return "FullText";
    case IndexType::Taxonomy: return "Taxonomy";
  }
  return "?";
}

constexpr std::optional<IndexType> index_type_from_tag(std::uint32_t tag) {
  if (tag >= kIndexTypeCount) return std::nullopt;
  return static_cast<IndexType>(tag);
}

}  // namespace zudizid::index
