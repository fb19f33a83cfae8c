// Unicode character classes and lower-case mappings used by the tokenizers.
// The tables are generated at build time from the Unicode data files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fendral::tokenizer::unicode {

struct AlnumRange {
  uint32_t lo;
  uint32_t hi;
};
struct LowerEntry {
  uint32_t cp;
  uint32_t len;
  uint32_t lower[3];
};

extern const AlnumRange kAlnumRanges[];
extern const size_t kAlnumRangesLen;
extern const LowerEntry kLowerTable[];
extern const size_t kLowerTableLen;

// ASCII letters and digits, Alphabetic, and the Number categories.
bool is_alphanumeric(uint32_t cp);
// Writes the full lower-case mapping of cp (1 to 3 code points) into out and
// returns how many were written.
size_t to_lower(uint32_t cp, uint32_t out[3]);

}  // namespace fendral::tokenizer::unicode
