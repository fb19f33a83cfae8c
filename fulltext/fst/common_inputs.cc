#include "fulltext/fst/common_inputs.h"

#include <string_view>

namespace fendral::fst {

const CommonInputs& common_inputs() {
  static const CommonInputs table = [] {
    constexpr std::string_view kCommon =
        "te/oasripcnw.hlm-du012g=:bf3y5&_4v9678k%?xCDASFIBEjPTzRNM+LOqHGWUV,YKJZXQ;)(~[]$!'*@";
    CommonInputs t{};
    bool used[256] = {};
    size_t rank = 0;
    for (char c : kCommon) {
      auto b = static_cast<uint8_t>(c);
      t.byte_of_rank[rank++] = b;
      used[b] = true;
    }
    for (int b = 0; b < 256; ++b) {
      if (!used[b]) t.byte_of_rank[rank++] = static_cast<uint8_t>(b);
    }
    for (int r = 0; r < 256; ++r) t.rank_of_byte[t.byte_of_rank[r]] = static_cast<uint8_t>(r);
    return t;
  }();
  return table;
}

}  // namespace fendral::fst
