#include "hnsw/hnswio/reload_checks.h"

#include <vector>

#include "common/io_error.h"
#include "common/log.h"
#include "hnsw/hnswio/description.h"

namespace vantor::hnswio {

namespace {

// Pieces of a "::"-separated name, last piece first; an empty last piece
// (a name ending in "::") is not taken.
std::vector<std::string_view> pieces_from_end(std::string_view name) {
  std::vector<std::string_view> out;
  if (name.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t at = name.find("::", start);
    if (at == std::string_view::npos) {
      out.push_back(name.substr(start));
      break;
    }
    out.push_back(name.substr(start, at - start));
    start = at + 2;
  }
  if (out.back().empty()) out.pop_back();
  return {out.rbegin(), out.rend()};
}

}  // namespace

Result<void> check_distance(std::string_view asked, std::string_view dumped, bool compare) {
  using zudizid::common::debug_quote;
  auto asked_pieces = pieces_from_end(asked);
  for (auto p : asked_pieces) ZLOG(Info, kTarget, " distname in generic type argument {}", debug_quote(p));
  if (!compare) return {};
  auto dumped_pieces = pieces_from_end(dumped);
  if (!asked_pieces.empty() && !dumped_pieces.empty() && asked_pieces[0] == dumped_pieces[0]) return {};
  ZLOG(Error, kTarget, " distance in type argument : {}", debug_quote(asked));
  ZLOG(Error, kTarget, "error , dump is for distance = {}", debug_quote(dumped));
  return bad_dump("error in distances : dumped distance is : " + std::string(dumped) +
                  " asked distance in loading is : " + std::string(asked));
}

}  // namespace vantor::hnswio
