// The PEG interpreter behind the parse entry.
//
// Matching model (shared by every rule of the table):
//  - ordered choice, greedy repetition that never gives back an iteration,
//    sequences that give back everything on failure;
//  - inside a normal (non-atomic) context, implicit whitespace and comments
//    are skipped between two elements of a sequence and in front of every
//    iteration of a repetition but the first; an iteration that fails gives
//    back the whitespace skipped in front of it;
//  - atomic rules skip nothing and everything they call makes no node;
//  - a non-silent rule records a node when it matches outside every atomic
//    rule and every look-ahead;
//  - failures of rules decide the report: the furthest position where a rule
//    failed, and the rules that failed there (a rule stands in for the rules
//    it tried at its own position unless exactly one was recorded).
#include "query/zql/parser/grammar.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "query/zql/parser/grammar_table.h"
#include "query/zql/parser/text_scan.h"

namespace zudizid::query::zql::grammar {

namespace {

enum class Lookahead : std::uint8_t { None, Positive, Negative };

class Matcher {
 public:
  Matcher(std::string_view in, std::size_t max_depth)
      : prog_(peg_program()), in_(in), max_depth_(max_depth) {}

  bool run(GrammarRule start) { return call(start); }

  std::vector<FlatNode>& nodes() { return queue_; }
  bool limit_hit() const { return limit_hit_; }
  std::size_t limit_pos() const { return limit_pos_; }
  std::size_t attempt_pos() const { return attempt_pos_; }
  std::vector<GrammarRule>& pos_attempts() { return pos_attempts_; }
  std::vector<GrammarRule>& neg_attempts() { return neg_attempts_; }

 private:
  bool match(std::uint32_t id) {
    const PegNode& n = prog_.nodes[id];
    switch (n.op) {
      case PegOp::Seq: {
        std::size_t p0 = pos_, q0 = queue_.size();
        for (std::uint32_t k = 0; k < n.kids_count; ++k) {
          if (k > 0) skip();
          if (!match(prog_.kids[n.kids_begin + k])) {
            pos_ = p0;
            queue_.resize(q0);
            return false;
          }
        }
        return true;
      }
      case PegOp::Choice:
        for (std::uint32_t k = 0; k < n.kids_count; ++k) {
          if (match(prog_.kids[n.kids_begin + k])) return true;
        }
        return false;
      case PegOp::Opt:
        match(prog_.kids[n.kids_begin]);
        return true;
      case PegOp::Star:
        if (match(prog_.kids[n.kids_begin])) repeat_rest(prog_.kids[n.kids_begin]);
        return true;
      case PegOp::Plus: {
        std::uint32_t kid = prog_.kids[n.kids_begin];
        if (!match(kid)) return false;
        skip();
        if (match(kid)) repeat_rest(kid);
        return true;
      }
      case PegOp::PosLook:
      case PegOp::NegLook: {
        bool positive = n.op == PegOp::PosLook;
        std::size_t p0 = pos_;
        Lookahead saved = look_;
        if (positive) {
          look_ = look_ == Lookahead::Negative ? Lookahead::Negative : Lookahead::Positive;
        } else {
          look_ = look_ == Lookahead::Negative ? Lookahead::Positive : Lookahead::Negative;
        }
        bool ok = match(prog_.kids[n.kids_begin]);
        look_ = saved;
        pos_ = p0;
        return positive ? ok : !ok;
      }
      case PegOp::Lit:
        if (in_.size() - pos_ >= n.lit.size() && in_.compare(pos_, n.lit.size(), n.lit) == 0) {
          pos_ += n.lit.size();
          return true;
        }
        return false;
      case PegOp::ILit: {
        if (in_.size() - pos_ < n.lit.size()) return false;
        for (std::size_t k = 0; k < n.lit.size(); ++k) {
          char c = in_[pos_ + k];
          if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
          if (c != n.lit[k]) return false;
        }
        pos_ += n.lit.size();
        return true;
      }
      case PegOp::Range: {
        if (pos_ >= in_.size()) return false;
        auto c = static_cast<unsigned char>(in_[pos_]);
        if (c < n.lo || c > n.hi) return false;
        ++pos_;
        return true;
      }
      case PegOp::Any: {
        if (pos_ >= in_.size()) return false;
        auto c = static_cast<unsigned char>(in_[pos_]);
        std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        pos_ += std::min(len, in_.size() - pos_);
        return true;
      }
      case PegOp::Soi:
        return pos_ == 0;
      case PegOp::Eoi:
        return pos_ == in_.size();
      case PegOp::Call:
        return call(n.rule);
    }
    return false;
  }

  // Further iterations of a repetition, each preceded by implicit whitespace
  // that a failing iteration gives back.
  void repeat_rest(std::uint32_t kid) {
    while (true) {
      std::size_t p0 = pos_, q0 = queue_.size();
      skip();
      std::size_t p1 = pos_;
      if (!match(kid) || (pos_ == p1 && pos_ == p0)) {
        pos_ = p0;
        queue_.resize(q0);
        return;
      }
    }
  }

  // Implicit whitespace: WHITESPACE* (COMMENT WHITESPACE*)*, matched only in
  // a normal context. WHITESPACE and COMMENT are silent and atomic, so they
  // record neither nodes nor failures; this hand-written loop is equivalent
  // to interpreting their table forms.
  void skip() {
    if (!atomic_) pos_ = skip_implicit_whitespace(in_, pos_);
  }

  std::size_t attempts_at(std::size_t p) const {
    return attempt_pos_ == p ? pos_attempts_.size() + neg_attempts_.size() : 0;
  }

  void track(GrammarRule rule, std::size_t p, std::size_t pos_index, std::size_t neg_index,
             std::size_t prev_attempts) {
    if (atomic_) return;
    // A rule that tried exactly one rule at its own position is represented
    // by that rule; otherwise it replaces what it tried there.
    std::size_t curr = attempts_at(p);
    if (curr > prev_attempts && curr - prev_attempts == 1) return;
    if (p == attempt_pos_) {
      pos_attempts_.resize(pos_index);
      neg_attempts_.resize(neg_index);
    }
    if (p > attempt_pos_) {
      pos_attempts_.clear();
      neg_attempts_.clear();
      attempt_pos_ = p;
    }
    if (p == attempt_pos_) {
      (look_ == Lookahead::Negative ? neg_attempts_ : pos_attempts_).push_back(rule);
    }
  }

  bool call(GrammarRule rule) {
    auto r = static_cast<std::size_t>(rule);
    if (prog_.rule_silent[r]) {
      bool saved = atomic_;
      if (prog_.rule_atomic[r]) atomic_ = true;
      bool ok = match(prog_.rule_body[r]);
      atomic_ = saved;
      return ok;
    }
    if (limit_hit_) return false;
    if (depth_ >= max_depth_) {
      limit_hit_ = true;
      limit_pos_ = pos_;
      return false;
    }
    ++depth_;

    const std::size_t p0 = pos_;
    const std::size_t q0 = queue_.size();
    std::size_t pos_index = 0, neg_index = 0;
    if (p0 == attempt_pos_) {
      pos_index = pos_attempts_.size();
      neg_index = neg_attempts_.size();
    }
    const bool record = look_ == Lookahead::None && !atomic_;
    if (record) {
      queue_.push_back(FlatNode{rule, static_cast<std::uint32_t>(p0), 0, 0});
    }
    const std::size_t prev = attempts_at(p0);

    const bool saved_atomic = atomic_;
    if (prog_.rule_atomic[r]) atomic_ = true;
    bool ok = match(prog_.rule_body[r]);
    atomic_ = saved_atomic;
    --depth_;

    if (limit_hit_) {
      ok = false;
    } else if (ok) {
      if (look_ == Lookahead::Negative) track(rule, p0, pos_index, neg_index, prev);
    } else if (look_ != Lookahead::Negative) {
      track(rule, p0, pos_index, neg_index, prev);
    }
    if (ok) {
      if (record) {
        FlatNode& node = queue_[q0];
        node.end = static_cast<std::uint32_t>(pos_);
        node.next = static_cast<std::uint32_t>(queue_.size());
      }
    } else {
      if (record) queue_.resize(q0);
      pos_ = p0;
    }
    return ok;
  }

  const PegProgram& prog_;
  std::string_view in_;
  std::size_t pos_ = 0;
  bool atomic_ = false;
  Lookahead look_ = Lookahead::None;
  std::vector<FlatNode> queue_;
  std::size_t attempt_pos_ = 0;
  std::vector<GrammarRule> pos_attempts_;
  std::vector<GrammarRule> neg_attempts_;
  std::size_t depth_ = 0;
  std::size_t max_depth_;
  bool limit_hit_ = false;
  std::size_t limit_pos_ = 0;
};

void sort_unique(std::vector<GrammarRule>& rules) {
  std::sort(rules.begin(), rules.end());
  rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
}

ParseError plain_error(std::string_view text, std::size_t pos, std::string message) {
  ParseError e;
  e.position = pos;
  e.message = std::move(message);
  e.has_message = true;
  locate_error(text, e);
  return e;
}

}  // namespace

std::expected<ParseTree, ParseError> parse(GrammarRule start, std::string_view text) {
  return parse(start, text, kMaxRuleDepth);
}

std::expected<ParseTree, ParseError> parse(GrammarRule start, std::string_view text,
                                           std::size_t max_rule_depth) {
  // Node offsets are 32-bit.
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(plain_error(text, 0, "input too long"));
  }
  Matcher m(text, max_rule_depth);
  bool ok = m.run(start);
  if (m.limit_hit()) {
    return std::unexpected(plain_error(text, m.limit_pos(), "call limit reached"));
  }
  if (!ok) {
    ParseError e;
    e.position = m.attempt_pos();
    e.expected = std::move(m.pos_attempts());
    e.unexpected = std::move(m.neg_attempts());
    sort_unique(e.expected);
    sort_unique(e.unexpected);
    locate_error(text, e);
    return std::unexpected(std::move(e));
  }
  auto data = std::make_unique<ParseData>();
  data->text = std::string(text);
  data->nodes = std::move(m.nodes());
  data->top_end = static_cast<std::uint32_t>(data->nodes.size());
  return ParseTree(std::move(data));
}

}  // namespace zudizid::query::zql::grammar
