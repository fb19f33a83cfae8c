// Sets of Unicode scalar values for the regex parser: the generated tables
// (general categories, scripts, a few binary properties, simple case
// folding) and the set operations of character classes. A class is a sorted
// list of disjoint, non-adjacent inclusive ranges of scalar values
// (surrogates never included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace fendral::fst::regex::unicode {

struct ScalarRange {
  uint32_t lo;
  uint32_t hi;
  bool operator==(const ScalarRange&) const = default;
};
struct NamedTable {
  const char* key;  // "gc:Lu", "sc:Greek", "bp:White_Space"
  const ScalarRange* ranges;
  size_t len;
};
struct Alias {
  const char* name;  // normalized: lower case, no spaces, '_' or '-'
  const char* key;
};
struct FoldPair {
  uint32_t cp;
  uint32_t folded;
};

extern const NamedTable kTables[];
extern const size_t kTablesLen;
extern const Alias kAliases[];
extern const size_t kAliasesLen;
extern const FoldPair kFolds[];
extern const size_t kFoldsLen;

using Class = std::vector<ScalarRange>;

constexpr uint32_t kMaxScalar = 0x10FFFF;

// Sorts and merges overlapping or adjacent ranges, and removes surrogates.
void canonicalize(Class& c);
Class negate(const Class& c);
Class intersect(const Class& a, const Class& b);
Class difference(const Class& a, const Class& b);
Class union_of(Class a, const Class& b);
Class symmetric_difference(const Class& a, const Class& b);

// \p{name}, by any of the property value's names (case, spaces, '_' and
// '-' ignored), also in the forms "gc=...", "sc=..." and "script=...".
std::optional<Class> property(std::string_view name);
Class perl_digit();
Class perl_space();
Class perl_word();
// Adds every simple case variant of the class's members.
void add_case_variants(Class& c);

}  // namespace fendral::fst::regex::unicode
