#include "fulltext/fst/regex/unicode_classes.h"

#include <algorithm>
#include <map>
#include <string>

namespace fendral::fst::regex::unicode {

namespace {

std::string normalize(std::string_view name) {
  std::string out;
  for (char ch : name) {
    if (ch == ' ' || ch == '_' || ch == '-') continue;
    out.push_back(static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch));
  }
  return out;
}

std::optional<Class> table(std::string_view key) {
  for (size_t i = 0; i < kTablesLen; ++i) {
    if (key == kTables[i].key) return Class(kTables[i].ranges, kTables[i].ranges + kTables[i].len);
  }
  return std::nullopt;
}

std::optional<Class> by_alias(const std::string& n) {
  for (size_t i = 0; i < kAliasesLen; ++i) {
    if (n == kAliases[i].name) {
      if (std::string_view(kAliases[i].key) == "any") return Class{{0, kMaxScalar}};
      return table(kAliases[i].key);
    }
  }
  return std::nullopt;
}

// Case orbits: every scalar value with a simple folding, grouped by target.
const std::map<uint32_t, std::vector<uint32_t>>& orbits() {
  static const auto* m = [] {
    auto* out = new std::map<uint32_t, std::vector<uint32_t>>();
    std::map<uint32_t, std::vector<uint32_t>> by_target;
    for (size_t i = 0; i < kFoldsLen; ++i) by_target[kFolds[i].folded].push_back(kFolds[i].cp);
    for (auto& [target, members] : by_target) {
      std::vector<uint32_t> orbit = members;
      orbit.push_back(target);
      for (uint32_t cp : orbit) (*out)[cp] = orbit;
    }
    return out;
  }();
  return *m;
}

}  // namespace

void canonicalize(Class& c) {
  Class split;
  for (ScalarRange r : c) {
    if (r.lo > r.hi) continue;
    if (r.lo < 0xD800 && r.hi > 0xDFFF) {
      split.push_back({r.lo, 0xD7FF});
      split.push_back({0xE000, r.hi});
    } else if (r.lo >= 0xD800 && r.hi <= 0xDFFF) {
      continue;
    } else if (r.lo >= 0xD800 && r.lo <= 0xDFFF) {
      split.push_back({0xE000, r.hi});
    } else if (r.hi >= 0xD800 && r.hi <= 0xDFFF) {
      split.push_back({r.lo, 0xD7FF});
    } else {
      split.push_back(r);
    }
  }
  std::sort(split.begin(), split.end(), [](ScalarRange a, ScalarRange b) { return a.lo < b.lo; });
  c.clear();
  for (ScalarRange r : split) {
    if (!c.empty() && (r.lo <= c.back().hi || r.lo == c.back().hi + 1 ||
                       (c.back().hi == 0xD7FF && r.lo == 0xE000))) {
      c.back().hi = std::max(c.back().hi, r.hi);
    } else {
      c.push_back(r);
    }
  }
}

Class negate(const Class& c) {
  Class out;
  uint32_t next = 0;
  for (ScalarRange r : c) {
    if (r.lo > next) out.push_back({next, r.lo - 1});
    next = r.hi + 1;
  }
  if (next <= kMaxScalar) out.push_back({next, kMaxScalar});
  canonicalize(out);
  return out;
}

Class union_of(Class a, const Class& b) {
  a.insert(a.end(), b.begin(), b.end());
  canonicalize(a);
  return a;
}

Class intersect(const Class& a, const Class& b) {
  Class out;
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    uint32_t lo = std::max(a[i].lo, b[j].lo);
    uint32_t hi = std::min(a[i].hi, b[j].hi);
    if (lo <= hi) out.push_back({lo, hi});
    if (a[i].hi < b[j].hi) {
      ++i;
    } else {
      ++j;
    }
  }
  canonicalize(out);
  return out;
}

Class difference(const Class& a, const Class& b) { return intersect(a, negate(b)); }

Class symmetric_difference(const Class& a, const Class& b) {
  return difference(union_of(a, b), intersect(a, b));
}

std::optional<Class> property(std::string_view name) {
  std::string n = normalize(name);
  for (std::string_view prefix : {"gc=", "generalcategory=", "sc=", "script=", "scx=", "scriptextensions="}) {
    if (n.starts_with(prefix)) {
      n = n.substr(prefix.size());
      break;
    }
  }
  return by_alias(n);
}

Class perl_digit() { return *table("gc:Nd"); }
Class perl_space() { return *table("bp:White_Space"); }
Class perl_word() {
  Class c = *table("bp:Alphabetic");
  for (const char* k : {"gc:M", "gc:Nd", "gc:Pc"}) c = union_of(std::move(c), *table(k));
  return union_of(std::move(c), *table("bp:Join_Control"));
}

void add_case_variants(Class& c) {
  const auto& o = orbits();
  Class extra;
  for (ScalarRange r : c) {
    for (auto it = o.lower_bound(r.lo); it != o.end() && it->first <= r.hi; ++it) {
      for (uint32_t cp : it->second) extra.push_back({cp, cp});
    }
  }
  c = union_of(std::move(c), extra);
}

}  // namespace fendral::fst::regex::unicode
