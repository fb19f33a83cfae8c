// The weight shared by the queries that match every term of one field that a
// byte automaton accepts (fuzzy, regex, term set): per segment it walks the
// field's term dictionary with the automaton, reads the doc ids of every
// accepted term into a bitset of max_doc bits and hands out a ConstantScorer
// whose score is the boost. The term-range weight collects its terms the
// same way (collect_term_docs).
//
// An automaton A offers State start(), State accept(State, uint8_t),
// bool is_match(State) and bool can_match(State); can_match false prunes the
// walk below that key prefix.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fulltext/fst/stream.h"
#include "fulltext/index/inverted_index_reader.h"
#include "fulltext/query/constant_scorer.h"
#include "fulltext/query/weight.h"

namespace fendral::query {

// An FST stream error met while walking a dictionary.
FendralError dictionary_walk_error(const fst::Error& e);

// The smallest key above every key that begins with `prefix`: trailing 0xFF
// bytes dropped, the last remaining byte increased; none when all are 0xFF.
std::optional<std::vector<uint8_t>> prefix_end(std::span<const uint8_t> prefix);

// Sets the bit of every doc of every key `stream` yields, taking at most
// `limit` keys. Postings are read doc ids only. A doc id at or above the
// bitset's max_doc is DataCorruption.
template <class S>
Result<void> collect_term_docs(const index::InvertedIndexReader& inv, S& stream, std::optional<uint64_t> limit,
                               DocBitSet& bits) {
  uint64_t taken = 0;
  for (;;) {
    if (limit && taken >= *limit) return {};
    auto item = stream.next();
    if (!item) return fail(dictionary_walk_error(item.error()));
    if (!*item) return {};
    auto info = inv.terms().term_info_from_ord((*item)->second);
    if (!info) return fail(info.error());
    auto block = inv.read_block_postings(*info, schema::RecordOption::Basic);
    if (!block) return fail(block.error());
    ++taken;
    for (auto docs = block->docs(); !docs.empty(); block->advance(), docs = block->docs()) {
      for (uint32_t d : docs) {
        if (d >= bits.max_doc()) {
          return fail(FendralError::data_corruption(std::nullopt, "A posting names a doc id beyond the segment"));
        }
        bits.insert(d);
      }
    }
    if (block->error()) return fail(*block->error());
  }
}

// Lends a shared automaton to FST streams, which copy their automaton.
template <class A>
struct SharedAutomaton {
  using State = typename A::State;
  std::shared_ptr<const A> a;
  State start() const { return a->start(); }
  State accept(State s, uint8_t b) const { return a->accept(s, b); }
  bool is_match(State s) const { return a->is_match(s); }
  bool can_match(State s) const { return a->can_match(s); }
};

template <class A>
class AutomatonWeight final : public Weight {
 public:
  // `json_path_bytes`, when given, restricts the walk to the keys that
  // begin with those bytes.
  AutomatonWeight(schema::Field field, std::shared_ptr<const A> automaton,
                  std::optional<std::vector<uint8_t>> json_path_bytes = std::nullopt)
      : field_(field), automaton_(std::move(automaton)), json_path_bytes_(std::move(json_path_bytes)) {}

  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override {
    DocBitSet bits(reader.max_doc());
    auto inv = reader.inverted_index(field_);
    if (!inv) return fail(inv.error());
    fst::StreamBuilder<SharedAutomaton<A>> builder(&(*inv)->terms().fst(), SharedAutomaton<A>{automaton_});
    if (json_path_bytes_) {
      builder.ge(*json_path_bytes_);
      if (auto end = prefix_end(*json_path_bytes_)) builder.lt(*end);
    }
    auto stream = builder.into_stream();
    if (!stream) return fail(IoError(IoErrorKind::Other, stream.error().display()));
    if (auto ok = collect_term_docs(**inv, **stream, std::nullopt, bits); !ok) return fail(ok.error());
    return std::unique_ptr<Scorer>(std::make_unique<ConstantScorer>(std::make_unique<BitSetDocSet>(std::move(bits)), boost));
  }

 private:
  schema::Field field_;
  std::shared_ptr<const A> automaton_;
  std::optional<std::vector<uint8_t>> json_path_bytes_;
};

}  // namespace fendral::query
