// Levenshtein automata: a byte DFA accepting the UTF-8 texts within an edit
// distance of a query text, counted in code points. One builder exists per
// (distance, transposition) pair; it makes one DFA per query text.
//
//   const auto& b = LevenshteinBuilder::get(1, /*transposition_cost_one=*/true);
//   auto dfa = b.build_dfa("kitten", /*prefix=*/false);
//   StreamBuilder<LevenshteinDfa>(&fst, *dfa) ...        // or as SharedAutomaton
//
// Edits are insertions, deletions and substitutions of one code point, and,
// with transposition_cost_one, the swap of two adjacent code points (optimal
// string alignment: a swapped pair is not edited again). With `prefix`, a key
// is accepted when it begins with a text within the distance.
//
// State 0 is the sink: every transition of it leads back to it. Key bytes
// that are not UTF-8 lead to the sink.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::query {

class LevenshteinDfa {
 public:
  using State = uint32_t;
  static constexpr State kSink = 0;

  State start() const { return initial_; }
  State accept(State s, uint8_t b) const { return states_[s].next[b]; }
  bool is_match(State s) const { return states_[s].distance <= max_distance_; }
  bool can_match(State s) const { return s != kSink; }
  // The smallest number of edits of the bytes read so far (an exact count
  // when is_match); above the maximum otherwise.
  uint8_t distance(State s) const { return states_[s].distance; }
  size_t num_states() const { return states_.size(); }

 private:
  friend class LevenshteinConstruction;
  struct Row {
    std::array<State, 256> next{};
    uint8_t distance = 0;
  };
  std::vector<Row> states_;
  State initial_ = kSink;
  uint8_t max_distance_ = 0;
};

class LevenshteinBuilder {
 public:
  // The builder of a pair, made once per process. Contract: distance < 3.
  static const LevenshteinBuilder& get(uint8_t distance, bool transposition_cost_one);

  // Refuses (InvalidArgument) a text whose automaton would exceed
  // kMaxStates states, so that no query text can exhaust memory.
  Result<LevenshteinDfa> build_dfa(std::string_view text, bool prefix) const;

  static constexpr size_t kMaxStates = 50000;

 private:
  LevenshteinBuilder(uint8_t distance, bool transposition) : distance_(distance), transposition_(transposition) {}
  uint8_t distance_;
  bool transposition_;
};

}  // namespace fendral::query
