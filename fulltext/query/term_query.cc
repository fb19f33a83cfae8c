#include "fulltext/query/term_query.h"

#include <fmt/format.h>

#include "fulltext/query/block_wand.h"
#include "fulltext/query/range_query.h"

namespace fendral::query {

float TermScorer::score() {
  uint32_t d = postings_.doc();
  uint8_t id = d < max_doc_ ? norms_.fieldnorm_id(d) : 0;
  return similarity_.score(id, postings_.term_freq());
}

bool TermScorer::decodes_term_freqs() const {
  return const_cast<postings::SegmentPostings&>(postings_).block_cursor().freq_mode() == postings::FreqMode::Decoded;
}

void TermScorer::shallow_seek(uint32_t target) {
  const postings::SkipReader& real = postings_.block_cursor().skip_reader();
  // Restart from the postings' own block when the walk is behind it, or when
  // it ran past target's block (targets are expected to rise).
  if (target < shallow_target_ || real.last_doc_in_block() > shallow_.last_doc_in_block()) {
    if (real.last_doc_in_block() != shallow_.last_doc_in_block()) block_bound_.reset();
    shallow_ = real;
  }
  shallow_target_ = target;
  while (shallow_.last_doc_in_block() < target) {
    shallow_.advance();
    block_bound_.reset();
  }
}

float TermScorer::block_max_score() {
  if (block_bound_) return *block_bound_;
  if (!shallow_.on_tail()) {
    block_bound_ = similarity_.score(shallow_.block_max_fieldnorm_id(), shallow_.block_max_term_freq());
    return *block_bound_;
  }
  auto& block = postings_.block_cursor();
  if (!block.skip_reader().on_tail()) return max_score();
  // The postings stand on the last block, decoded: bound it by its docs.
  float best = 0.0f;
  auto docs = block.docs();
  auto freqs = block.freqs();
  for (size_t i = 0; i < docs.size(); ++i) {
    uint8_t id = docs[i] < max_doc_ ? norms_.fieldnorm_id(docs[i]) : 0;
    float s = similarity_.score(id, freqs[i]);
    if (s > best) best = s;
  }
  block_bound_ = best;
  return best;
}

Result<std::unique_ptr<TermWeight>> TermQuery::specialized_weight(const ScoringMode& mode) const {
  const auto& entry = mode.schema->get_field_entry(term_.field());
  if (!entry.is_indexed()) {
    return fail(FendralError::schema_error(fmt::format("Field {:?} is not indexed.", entry.name)));
  }
  if (!mode.is_scoring_enabled()) {
    return std::make_unique<TermWeight>(term_, Bm25Weight::disabled(), false, schema::RecordOption::Basic);
  }
  auto sim = Bm25Weight::for_terms(*mode.stats, std::span<const schema::Term>(&term_, 1));
  if (!sim) return fail(sim.error());
  return std::make_unique<TermWeight>(term_, std::move(*sim), true, option_);
}

Result<std::unique_ptr<Weight>> TermQuery::weight(const ScoringMode& mode) const {
  // A fast field that is not indexed answers from its column.
  const auto& entry = mode.schema->get_field_entry(term_.field());
  if (!entry.is_indexed() && entry.is_fast() && !mode.is_scoring_enabled() && term_.typ() != schema::ValueType::Facet) {
    const TermBound exact{TermBound::Kind::Included, term_};
    return RangeQuery(exact, exact).weight(mode);
  }
  auto w = specialized_weight(mode);
  if (!w) return fail(w.error());
  return std::unique_ptr<Weight>(std::move(*w));
}

Result<std::unique_ptr<Scorer>> TermWeight::scorer(const index::SegmentReader& reader, float boost) const {
  auto inv = reader.inverted_index(term_.field());
  if (!inv) return fail(inv.error());
  auto info = (*inv)->terms().get(term_.serialized_value_bytes());
  if (!info) return fail(info.error());
  if (!info->has_value()) return std::unique_ptr<Scorer>(std::make_unique<EmptyScorer>());
  if (!scoring_enabled_ && (*info)->doc_freq == reader.max_doc()) {
    return std::unique_ptr<Scorer>(std::make_unique<AllScorer>(reader.max_doc()));
  }
  auto postings = (*inv)->read_postings(**info, option_);
  if (!postings) return fail(postings.error());
  auto norms = fieldnorm::FieldNormReader::constant(reader.max_doc(), 1);
  if (scoring_enabled_) {
    auto r = reader.fieldnorm_reader(term_.field());
    if (!r) return fail(r.error());
    if (r->has_value()) {
      if ((*r)->num_docs() != reader.max_doc()) {
        return fail(FendralError::data_corruption(std::nullopt, "Field norms do not cover the segment's documents"));
      }
      norms = std::move(**r);
    }
  }
  return std::unique_ptr<Scorer>(
      std::make_unique<TermScorer>(std::move(*postings), std::move(norms), similarity_.boost_by(boost), reader.max_doc()));
}

Result<uint32_t> TermWeight::count(const index::SegmentReader& reader) const {
  if (reader.alive_bitset()) return Weight::count(reader);
  auto inv = reader.inverted_index(term_.field());
  if (!inv) return fail(inv.error());
  auto info = (*inv)->terms().get(term_.serialized_value_bytes());
  if (!info) return fail(info.error());
  return info->has_value() ? (*info)->doc_freq : 0u;
}

Result<void> TermWeight::for_each_pruning(float threshold, const index::SegmentReader& reader,
                                          const PruningCallback& callback) const {
  auto boxed = scorer(reader, 1.0f);
  if (!boxed) return fail(boxed.error());
  if (dynamic_cast<EmptyScorer*>(boxed->get())) return {};
  auto* s = dynamic_cast<TermScorer*>(boxed->get());
  if (!s) {
    return fail(FendralError::invalid_argument("for each pruning should only be called if scoring is enabled"));
  }
  // Block bounds need the stored frequencies and a weight >= 0 (not NaN).
  if (!s->decodes_term_freqs() || !(s->max_score() >= 0.0f)) return for_each_scored_above(*s, threshold, callback);
  uint32_t doc = s->doc();
  while (doc != TERMINATED) {
    while (!bound_may_beat(s->block_max_score(), threshold, 1)) {
      uint32_t last = s->last_doc_in_block();
      if (last == TERMINATED) return s->error() ? fail(*s->error()) : Result<void>{};
      doc = last + 1;
      s->shallow_seek(doc);
    }
    doc = s->seek(doc);
    if (doc == TERMINATED) break;
    const uint32_t last = s->last_doc_in_block();
    for (;;) {
      float score = s->score();
      if (score > threshold) threshold = callback(doc, score);
      if (doc >= last) break;
      doc = s->advance();
      if (doc == TERMINATED) break;
    }
    if (doc == TERMINATED) break;
    doc = doc + 1;
    s->shallow_seek(doc);
  }
  if (s->error()) return fail(*s->error());
  return {};
}

}  // namespace fendral::query
