// Construction: a subset construction over the NFA of the edit moves, whose
// states are (i, e): i code points of the text consumed with e edits, and,
// with transpositions, (i, e)' : the code point text[i + 1] was read and
// text[i] must follow. A DFA state is the set of NFA states after the
// deletion closure, keeping the fewest edits per position (more budget at
// the same position accepts a superset). The construction runs over code
// points: the distinct ones of the text and one class for all others. Each
// code-point state then gets a byte row; multi-byte UTF-8 sequences go
// through intermediate rows, shared among sequences that lead to the same
// state.
#include "fulltext/query/levenshtein_automaton.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "fulltext/common/utf8.h"

namespace fendral::query {

namespace {

constexpr uint32_t kOther = 0xFFFFFFFF;  // a code point that the text lacks
constexpr uint8_t kNoMatch = 255;

struct Item {
  bool pending_swap;
  uint32_t i;
  uint8_t e;
  bool operator<(const Item& o) const { return std::tie(pending_swap, i, e) < std::tie(o.pending_swap, o.i, o.e); }
  bool operator==(const Item&) const = default;
};
using NfaSet = std::vector<Item>;

// UTF-8 sequence length of a lead byte; 0 for bytes that lead nothing.
int sequence_length(uint8_t b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

}  // namespace

class LevenshteinConstruction {
 public:
  LevenshteinConstruction(std::vector<uint32_t> text, uint8_t d, bool transposition, bool prefix)
      : q_(std::move(text)), d_(d), transposition_(transposition), prefix_(prefix) {
    for (uint32_t cp : q_) {
      std::string enc;
      append_utf8(enc, cp);
      encodings_.emplace(cp, std::move(enc));
    }
  }

  Result<LevenshteinDfa> run() {
    dfa_.max_distance_ = d_;
    dfa_.states_.emplace_back();  // the sink
    dfa_.states_[0].distance = kNoMatch;
    auto start = root_of(close({{false, 0, 0}}));
    if (!start) return fail(start.error());
    dfa_.initial_ = *start;
    while (!pending_.empty()) {
      size_t k = pending_.back();
      pending_.pop_back();
      if (auto ok = fill(k); !ok) return fail(ok.error());
    }
    return std::move(dfa_);
  }

 private:
  NfaSet close(NfaSet raw) const {
    const uint32_t n = static_cast<uint32_t>(q_.size());
    for (size_t k = 0; k < raw.size(); ++k) {
      const Item it = raw[k];
      if (!it.pending_swap && it.i < n && it.e < d_) raw.push_back({false, it.i + 1, static_cast<uint8_t>(it.e + 1)});
    }
    std::sort(raw.begin(), raw.end());
    NfaSet out;
    for (const Item& it : raw) {
      if (!out.empty() && out.back().pending_swap == it.pending_swap && out.back().i == it.i) continue;  // more edits
      out.push_back(it);
    }
    return out;
  }

  NfaSet step(const NfaSet& s, uint32_t c) const {
    const uint32_t n = static_cast<uint32_t>(q_.size());
    NfaSet raw;
    for (const Item& it : s) {
      const uint8_t e1 = static_cast<uint8_t>(it.e + 1);
      if (it.pending_swap) {
        if (q_[it.i] == c) raw.push_back({false, it.i + 2, it.e});
        continue;
      }
      if (it.i < n && q_[it.i] == c) raw.push_back({false, it.i + 1, it.e});
      if (prefix_ && it.i == n) raw.push_back({false, n, it.e});
      if (it.e < d_) {
        raw.push_back({false, it.i, e1});  // inserted code point
        if (it.i < n) raw.push_back({false, it.i + 1, e1});  // substituted
        if (transposition_ && it.i + 1 < n && q_[it.i + 1] == c) raw.push_back({true, it.i, e1});
      }
    }
    return close(std::move(raw));
  }

  uint8_t distance_of(const NfaSet& s) const {
    uint8_t best = kNoMatch;
    for (const Item& it : s) {
      if (!it.pending_swap && it.i == q_.size()) best = std::min(best, it.e);
    }
    return best;
  }

  Result<uint32_t> new_row(uint8_t distance) {
    if (dfa_.states_.size() >= LevenshteinBuilder::kMaxStates) {
      return fail(FendralError::invalid_argument(fmt::format(
          "The fuzzy term query's automaton would exceed {} states; use a shorter text", LevenshteinBuilder::kMaxStates)));
    }
    dfa_.states_.emplace_back();
    dfa_.states_.back().distance = distance;
    return static_cast<uint32_t>(dfa_.states_.size() - 1);
  }

  // The row of a code-point state, made (and queued for filling) when new.
  Result<uint32_t> root_of(NfaSet s) {
    if (s.empty()) return LevenshteinDfa::kSink;
    if (auto it = ids_.find(s); it != ids_.end()) return roots_[it->second];
    auto row = new_row(distance_of(s));
    if (!row) return fail(row.error());
    ids_.emplace(s, sets_.size());
    sets_.push_back(std::move(s));
    roots_.push_back(*row);
    pending_.push_back(sets_.size() - 1);
    return *row;
  }

  // A row that reads `r` continuation bytes, then stands on `target`.
  Result<uint32_t> chain(int r, uint32_t target) {
    if (target == LevenshteinDfa::kSink) return LevenshteinDfa::kSink;
    if (auto it = chains_.find({r, target}); it != chains_.end()) return it->second;
    auto row = new_row(kNoMatch);
    if (!row) return fail(row.error());
    chains_.emplace(std::pair{r, target}, *row);
    uint32_t next = target;
    if (r > 1) {
      auto c = chain(r - 1, target);
      if (!c) return fail(c.error());
      next = *c;
    }
    for (int b = 0x80; b <= 0xBF; ++b) dfa_.states_[*row].next[b] = next;
    return *row;
  }

  // A row inside the UTF-8 sequences of the text's code points `cands`,
  // `done` bytes read, `r` continuation bytes still to come.
  Result<uint32_t> trie(size_t k, const std::vector<uint32_t>& cands, size_t done, int r, uint32_t other) {
    auto row = new_row(kNoMatch);
    if (!row) return fail(row.error());
    for (int b = 0x80; b <= 0xBF; ++b) {
      std::vector<uint32_t> sub;
      for (uint32_t cp : cands) {
        if (static_cast<uint8_t>(encodings_.at(cp)[done]) == b) sub.push_back(cp);
      }
      Result<uint32_t> next = LevenshteinDfa::kSink;
      if (sub.empty()) {
        next = r == 1 ? Result<uint32_t>(other) : chain(r - 1, other);
      } else if (r == 1) {
        next = root_of(step(sets_[k], sub.front()));
      } else {
        next = trie(k, sub, done + 1, r - 1, other);
      }
      if (!next) return fail(next.error());
      dfa_.states_[*row].next[b] = *next;
    }
    return *row;
  }

  Result<void> fill(size_t k) {
    auto other = root_of(step(sets_[k], kOther));
    if (!other) return fail(other.error());
    std::array<uint32_t, 256> next{};
    for (int b = 0; b < 256; ++b) {
      const int len = sequence_length(static_cast<uint8_t>(b));
      if (len == 0) continue;
      Result<uint32_t> to = *other;
      if (len == 1) {
        if (encodings_.contains(static_cast<uint32_t>(b))) to = root_of(step(sets_[k], static_cast<uint32_t>(b)));
      } else {
        std::vector<uint32_t> cands;
        for (const auto& [cp, enc] : encodings_) {
          if (static_cast<uint8_t>(enc[0]) == b) cands.push_back(cp);
        }
        to = cands.empty() ? chain(len - 1, *other) : trie(k, cands, 1, len - 1, *other);
      }
      if (!to) return fail(to.error());
      next[b] = *to;
    }
    dfa_.states_[roots_[k]].next = next;
    return {};
  }

  std::vector<uint32_t> q_;
  uint8_t d_;
  bool transposition_;
  bool prefix_;
  std::map<uint32_t, std::string> encodings_;
  LevenshteinDfa dfa_;
  std::map<NfaSet, size_t> ids_;
  std::vector<NfaSet> sets_;
  std::vector<uint32_t> roots_;  // row of each code-point state
  std::vector<size_t> pending_;
  std::map<std::pair<int, uint32_t>, uint32_t> chains_;
};

const LevenshteinBuilder& LevenshteinBuilder::get(uint8_t distance, bool transposition_cost_one) {
  if (distance >= 3) contract_violation("Levenshtein builders exist for distances 0, 1 and 2");
  static const LevenshteinBuilder builders[3][2] = {
      {LevenshteinBuilder(0, false), LevenshteinBuilder(0, true)},
      {LevenshteinBuilder(1, false), LevenshteinBuilder(1, true)},
      {LevenshteinBuilder(2, false), LevenshteinBuilder(2, true)},
  };
  return builders[distance][transposition_cost_one ? 1 : 0];
}

Result<LevenshteinDfa> LevenshteinBuilder::build_dfa(std::string_view text, bool prefix) const {
  if (!is_valid_utf8(text)) return fail(FendralError::invalid_argument("The fuzzy term query requires a string term."));
  std::vector<uint32_t> cps;
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    i += decode_utf8(text, i, &cp);
    cps.push_back(cp);
  }
  return LevenshteinConstruction(std::move(cps), distance_, transposition_, prefix).run();
}

}  // namespace fendral::query
