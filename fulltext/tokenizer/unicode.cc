#include <algorithm>

#include "fulltext/tokenizer/unicode_tables.h"

namespace fendral::tokenizer::unicode {

bool is_alphanumeric(uint32_t cp) {
  if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
  const AlnumRange* end = kAlnumRanges + kAlnumRangesLen;
  const AlnumRange* it = std::upper_bound(kAlnumRanges, end, cp, [](uint32_t v, const AlnumRange& r) { return v < r.lo; });
  if (it == kAlnumRanges) return false;
  --it;
  return cp <= it->hi;
}

size_t to_lower(uint32_t cp, uint32_t out[3]) {
  if (cp < 0x80) {
    out[0] = (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
    return 1;
  }
  const LowerEntry* end = kLowerTable + kLowerTableLen;
  const LowerEntry* it = std::lower_bound(kLowerTable, end, cp, [](const LowerEntry& e, uint32_t v) { return e.cp < v; });
  if (it != end && it->cp == cp) {
    for (uint32_t i = 0; i < it->len; ++i) out[i] = it->lower[i];
    return it->len;
  }
  out[0] = cp;
  return 1;
}

}  // namespace fendral::tokenizer::unicode
