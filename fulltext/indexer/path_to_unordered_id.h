// Ids of the JSON paths of one segment under construction. A path gets the
// number of paths already known (0 for the first), so ids follow first
// appearance; at serialisation they are re-ordered by path bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fendral::indexer {

class PathToUnorderedId {
 public:
  // Allocates only for a path never seen in the segment.
  uint32_t get_or_allocate_unordered_id(std::string_view path);
  size_t len() const { return ids_.size(); }

  // The paths in byte order, and for each unordered id its rank in that
  // order.
  struct Ordered {
    std::vector<std::string> paths;
    std::vector<uint32_t> unordered_to_ordered;
  };
  Ordered ordered() const;

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> ids_;
};

}  // namespace fendral::indexer
