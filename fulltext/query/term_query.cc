#include "fulltext/query/term_query.h"

#include <fmt/format.h>

#include "fulltext/query/range_query.h"

namespace fendral::query {

float TermScorer::score() {
  uint32_t d = postings_.doc();
  uint8_t id = d < max_doc_ ? norms_.fieldnorm_id(d) : 0;
  return similarity_.score(id, postings_.term_freq());
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

}  // namespace fendral::query
