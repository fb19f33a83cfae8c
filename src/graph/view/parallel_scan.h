// Ordered reads of a tree's records cut into key ranges read in parallel:
// the record lists behind the whole-graph view and the Arrow exports.
//
//   auto ids = parallel_scan<Uuid>(tree, "node:", keep_key, decode_value);
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/parallel.h"
#include "kv/db.h"
#include "storage/db_error.h"

namespace zudizid::graph {

// "node:{id}" keys only, not the version keys that share their prefix.
inline bool is_current_node_key(std::string_view key) {
  return key.find(":v") == std::string_view::npos && key.find(":current") == std::string_view::npos;
}

// decode(value) of every entry of `it` whose key `keep` accepts, in order;
// the first failure ends the scan.
template <class T, class Keep, class Decode>
DbResult<std::vector<T>> scan_records(kelm::Iter it, Keep keep, Decode decode) {
  std::vector<T> out;
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    const auto& [key, value] = **next;
    if (!keep(key.view())) continue;
    auto item = decode(value.bytes());
    if (!item) return std::unexpected(std::move(item.error()));
    out.push_back(std::move(*item));
  }
  return out;
}

// As scan_records() over the keys of `tree` beginning with `prefix`, in key order,
// read as sixteen ranges in parallel: ids are lower-case hex text, so the
// ranges cut the keys after the prefix at "1", "2", ..., "9", "a", ..., "f"
// (keys of any other form still fall into one of them).
template <class T, class Keep, class Decode>
DbResult<std::vector<T>> parallel_scan(const kelm::Tree& tree, std::string_view prefix, Keep keep, Decode decode) {
  constexpr std::string_view kCuts = "123456789abcdef";
  constexpr size_t kRanges = kCuts.size() + 1;
  auto at = [&](size_t cut) { return kelm::IVec::from_slice(std::string(prefix) + kCuts[cut]); };
  std::string end(prefix);
  const bool bounded = !end.empty();
  if (bounded) ++end.back();  // just past every key with the prefix
  std::vector<DbResult<std::vector<T>>> parts(kRanges, std::vector<T>{});
  algorithms::for_each_block(kRanges, [&](size_t r) {
    kelm::Bound lo =
        r == 0 ? (prefix.empty() ? kelm::Bound::unbounded() : kelm::Bound::included(kelm::IVec::from_slice(prefix)))
               : kelm::Bound::included(at(r - 1));
    kelm::Bound hi = r + 1 < kRanges
                         ? kelm::Bound::excluded(at(r))
                         : (bounded ? kelm::Bound::excluded(kelm::IVec::from_slice(end)) : kelm::Bound::unbounded());
    parts[r] = scan_records<T>(tree.range(std::move(lo), std::move(hi)), keep, decode);
  });
  std::vector<T> out;
  size_t total = 0;
  for (auto& part : parts) {
    if (!part) return std::unexpected(std::move(part.error()));
    total += part->size();
  }
  out.reserve(total);
  for (auto& part : parts) out.insert(out.end(), std::make_move_iterator(part->begin()), std::make_move_iterator(part->end()));
  return out;
}

}  // namespace zudizid::graph
