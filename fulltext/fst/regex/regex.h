// A regular expression compiled to a byte DFA, used as the automaton of an
// FST stream: the stream follows only transitions the DFA can still take and
// reports keys ending in a matching state. Matching is anchored at both ends.
//
// Pipeline: parse (our own Unicode-aware parser, nesting <= 250), compile to
// a program of Match / Jump / Split / Range instructions (at most 10485760
// bytes at 24 bytes an instruction), then determinise by subset construction
// (at most 1000 states). Lazy repetition, anchors and word boundaries, and
// byte-oriented classes are refused. A class matching no character makes its
// branch match nothing.
//
//   auto re = Regex::create("ab+c");
//   StreamBuilder<Regex>(&fst, *re).into_stream();
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fulltext/fst/regex/parser.h"

namespace fendral::fst::regex {

struct Instruction {
  enum class Op : uint8_t { Match, Jump, Split, Range };
  Op op = Op::Match;
  uint32_t a = 0;  // Jump target / Split first / Range low
  uint32_t b = 0;  // Split second / Range high
  bool operator==(const Instruction&) const = default;
};

constexpr size_t kProgramSizeLimit = 10485760;
constexpr size_t kInstructionSize = 24;
constexpr size_t kStateLimit = 1000;

struct Error {
  enum class Kind { SyntaxError, ProgramTooLarge, StateLimitExceeded, LazyRepetition, EmptyMatch, ByteLiteral,
                    WordBoundary };
  Kind kind;
  std::string syntax;  // SyntaxError: the parser's message
  size_t limit = 0;    // the two limits
  std::string display() const;
};

// The program of a syntax tree, with the final Match appended.
std::expected<std::vector<Instruction>, Error> compile(const Hir& hir);

class SparseSet {
 public:
  explicit SparseSet(size_t capacity) : dense_(capacity), sparse_(capacity) {}
  bool contains(uint32_t ip) const { return sparse_[ip] < len_ && dense_[sparse_[ip]] == ip; }
  void insert(uint32_t ip) {
    dense_[len_] = ip;
    sparse_[ip] = static_cast<uint32_t>(len_);
    ++len_;
  }
  void clear() { len_ = 0; }
  size_t len() const { return len_; }
  uint32_t at(size_t i) const { return dense_[i]; }

 private:
  std::vector<uint32_t> dense_;
  std::vector<uint32_t> sparse_;
  size_t len_ = 0;
};

struct DfaState {
  std::vector<uint32_t> insts;        // the Range and Match instructions of the set, in set order
  std::vector<int32_t> next;          // 256 successors, -1 for the dead state
  bool is_match = false;
};

struct Dfa {
  std::vector<Instruction> program;
  std::vector<DfaState> states;  // state 0 is the start

  static std::expected<Dfa, Error> build(std::vector<Instruction> program);
};

class Regex {
 public:
  static std::expected<Regex, Error> create(std::string_view pattern);

  const std::string& as_str() const { return pattern_; }
  const Dfa& dfa() const { return *dfa_; }

  // The automaton: a state is a DFA state number, or none (dead).
  using State = std::optional<uint32_t>;
  State start() const { return 0; }
  State accept(State s, uint8_t b) const {
    if (!s) return std::nullopt;
    int32_t n = dfa_->states[*s].next[b];
    return n < 0 ? State() : State(static_cast<uint32_t>(n));
  }
  bool is_match(State s) const { return s && dfa_->states[*s].is_match; }
  bool can_match(State s) const { return s.has_value(); }
  // Whether the whole of `key` is accepted.
  bool matches(std::string_view key) const;

 private:
  std::string pattern_;
  std::shared_ptr<const Dfa> dfa_;
};

}  // namespace fendral::fst::regex
