#include "fulltext/query/boolean_query.h"

#include "fulltext/query/block_wand.h"
#include "fulltext/query/intersection.h"
#include "fulltext/query/term_query.h"
#include "fulltext/query/union_scorer.h"

namespace fendral::query {

namespace {

uint32_t default_minimum(const std::vector<BooleanQuery::Clause>& clauses) {
  for (const auto& [occur, q] : clauses) {
    if (occur != Occur::Should) return 0;
  }
  return 1;
}

using Scorers = std::vector<std::unique_ptr<Scorer>>;

struct Trivial {
  size_t all = 0;
  size_t empty = 0;
};

// Takes AllScorers and EmptyScorers out of the list, counting them.
Trivial remove_trivial(Scorers& list) {
  Trivial t;
  Scorers kept;
  for (auto& s : list) {
    if (dynamic_cast<const AllScorer*>(s.get())) {
      ++t.all;
    } else if (dynamic_cast<const EmptyScorer*>(s.get())) {
      ++t.empty;
    } else {
      kept.push_back(std::move(s));
    }
  }
  list = std::move(kept);
  return t;
}

using Combined = BooleanWeight::Combined;

std::unique_ptr<Scorer> into_box(Combined c, ScoreCombiner u, uint32_t num_docs) {
  if (c.term_union.empty()) return std::move(c.boxed);
  Scorers members;
  for (auto& t : c.term_union) members.push_back(std::move(t));
  return std::make_unique<BufferedUnionScorer>(std::move(members), u, num_docs);
}

// Several term scorers that all read their frequencies stay apart, for
// block-WAND; any other list becomes one scorer.
Combined union_of(Scorers list, ScoreCombiner u, uint32_t num_docs) {
  if (list.size() == 1) return {{}, std::move(list.front())};
  bool terms = true;
  for (const auto& s : list) {
    auto* t = dynamic_cast<const TermScorer*>(s.get());
    terms = terms && t && t->decodes_term_freqs();
  }
  if (!terms) return {{}, std::make_unique<BufferedUnionScorer>(std::move(list), u, num_docs)};
  Combined c;
  for (auto& s : list) c.term_union.emplace_back(static_cast<TermScorer*>(s.release()));
  return c;
}

class BoostWeight final : public Weight {
 public:
  BoostWeight(std::unique_ptr<Weight> inner, float boost) : inner_(std::move(inner)), boost_(boost) {}
  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override {
    return inner_->scorer(reader, boost * boost_);
  }

 private:
  std::unique_ptr<Weight> inner_;
  float boost_;
};

class AllWeight final : public Weight {
 public:
  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float) const override {
    return std::unique_ptr<Scorer>(std::make_unique<AllScorer>(reader.max_doc()));
  }
};

class EmptyWeight final : public Weight {
 public:
  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader&, float) const override {
    return std::unique_ptr<Scorer>(std::make_unique<EmptyScorer>());
  }
};

}  // namespace

BooleanQuery::BooleanQuery(std::vector<Clause> clauses)
    : clauses_(std::move(clauses)), minimum_number_should_match_(default_minimum(clauses_)) {}

Result<std::unique_ptr<Weight>> BooleanQuery::weight(const ScoringMode& mode) const {
  std::vector<BooleanWeight::Clause> weights;
  weights.reserve(clauses_.size());
  for (const auto& [occur, q] : clauses_) {
    auto w = q->weight(mode);
    if (!w) return fail(w.error());
    weights.emplace_back(occur, std::move(*w));
  }
  return std::unique_ptr<Weight>(
      std::make_unique<BooleanWeight>(std::move(weights), minimum_number_should_match_, mode.is_scoring_enabled()));
}

Result<std::unique_ptr<Scorer>> BooleanWeight::scorer(const index::SegmentReader& reader, float boost) const {
  if (clauses_.empty()) return std::unique_ptr<Scorer>(std::make_unique<EmptyScorer>());
  if (clauses_.size() == 1) {
    if (clauses_.front().first == Occur::MustNot) return std::unique_ptr<Scorer>(std::make_unique<EmptyScorer>());
    return clauses_.front().second->scorer(reader, boost);
  }
  const ScoreCombiner u = scoring_enabled_ ? combiner_ : ScoreCombiner::Unit;
  auto c = combine(reader, boost, u);
  if (!c) return fail(c.error());
  return into_box(std::move(*c), u, reader.num_docs());
}

Result<void> BooleanWeight::for_each_pruning(float threshold, const index::SegmentReader& reader,
                                             const PruningCallback& callback) const {
  // One clause scores as that clause alone (as in scorer()); its own pruning
  // gives the same docs and scores.
  if (clauses_.size() == 1 && clauses_.front().first != Occur::MustNot) {
    return clauses_.front().second->for_each_pruning(threshold, reader, callback);
  }
  const ScoreCombiner u = scoring_enabled_ ? combiner_ : ScoreCombiner::Unit;
  auto c = combine(reader, 1.0f, u);
  if (!c) return fail(c.error());
  bool bounded = !c->term_union.empty();
  for (const auto& t : c->term_union) bounded = bounded && t->max_score() >= 0.0f;
  if (bounded) {
    block_wand(c->term_union, threshold, callback);
    for (const auto& t : c->term_union) {
      if (t->error()) return fail(*t->error());
    }
    return {};
  }
  auto s = into_box(std::move(*c), u, reader.num_docs());
  return for_each_scored_above(*s, threshold, callback);
}

Result<BooleanWeight::Combined> BooleanWeight::combine(const index::SegmentReader& reader, float boost,
                                                       ScoreCombiner u) const {
  Scorers must, should, must_not;
  for (const auto& [occur, w] : clauses_) {
    auto s = w->scorer(reader, boost);
    if (!s) return fail(s.error());
    (occur == Occur::Must ? must : occur == Occur::Should ? should : must_not).push_back(std::move(*s));
  }
  const uint32_t num_docs = reader.num_docs();
  auto empty = [] { return Result<Combined>(Combined{{}, std::make_unique<EmptyScorer>()}); };
  Trivial tm = remove_trivial(must);
  if (tm.empty > 0) return empty();
  Trivial ts = remove_trivial(should);
  Trivial tn = remove_trivial(must_not);
  if (tn.all > 0) return empty();

  const size_t a_should = ts.all;
  const size_t k = minimum_number_should_match_ > a_should ? minimum_number_should_match_ - a_should : 0;
  const size_t n = should.size();
  if (n < k) return empty();

  auto required = [&](Scorers list, size_t all_count) -> std::unique_ptr<Scorer> {
    if (!list.empty()) return intersect_scorers(std::move(list), num_docs);
    if (all_count > 0) return std::make_unique<AllScorer>(reader.max_doc());
    return nullptr;
  };

  Combined positive;
  if (k == 0 && n > 0) {
    auto s = union_of(std::move(should), u, num_docs);
    auto r = required(std::move(must), tm.all);
    if (!r) {
      if (a_should == 0) {
        positive = std::move(s);
      } else if (scoring_enabled_) {
        Scorers both;
        both.push_back(into_box(std::move(s), u, num_docs));
        both.push_back(std::make_unique<AllScorer>(reader.max_doc()));
        positive.boxed = std::make_unique<BufferedUnionScorer>(std::move(both), u, num_docs);
      } else {
        positive.boxed = std::make_unique<AllScorer>(reader.max_doc());
      }
    } else if (scoring_enabled_) {
      positive.boxed =
          std::make_unique<RequiredOptionalScorer>(std::move(r), into_box(std::move(s), u, num_docs), combiner_);
    } else {
      positive.boxed = std::move(r);
    }
  } else if (k == 0 || (k == n && k >= 2)) {
    for (auto& s : should) must.push_back(std::move(s));
    positive.boxed = required(std::move(must), tm.all + a_should);
    if (!positive.boxed) return empty();
  } else {
    Combined s = k == 1 ? union_of(std::move(should), u, num_docs)
                        : Combined{{}, std::make_unique<HeapUnionScorer>(std::move(should), k, u)};
    auto r = required(std::move(must), tm.all);
    if (r) {
      Scorers both;
      both.push_back(std::move(r));
      both.push_back(into_box(std::move(s), u, num_docs));
      positive.boxed = intersect_scorers(std::move(both), num_docs);
    } else {
      positive = std::move(s);
    }
  }
  if (must_not.empty()) return positive;
  return Combined{{}, std::make_unique<Exclude>(into_box(std::move(positive), u, num_docs), std::move(must_not))};
}

Result<std::unique_ptr<Weight>> BoostQuery::weight(const ScoringMode& mode) const {
  auto w = inner_->weight(mode);
  if (!w) return fail(w.error());
  if (!mode.is_scoring_enabled()) return w;
  return std::unique_ptr<Weight>(std::make_unique<BoostWeight>(std::move(*w), boost_));
}

Result<std::unique_ptr<Weight>> AllQuery::weight(const ScoringMode&) const {
  return std::unique_ptr<Weight>(std::make_unique<AllWeight>());
}

Result<std::unique_ptr<Weight>> EmptyQuery::weight(const ScoringMode&) const {
  return std::unique_ptr<Weight>(std::make_unique<EmptyWeight>());
}

}  // namespace fendral::query
