#include "fulltext/query/range_query.h"

#include <fmt/format.h>

#include "fulltext/query/automaton_weight.h"
#include "fulltext/query/fast_field_range_doc_set.h"

namespace fendral::query {

namespace {

using Kind = TermBound::Kind;
using columnar::ColumnType;
using columnar::U128;

const TermBound& first_bounded(const TermBound& lower, const TermBound& upper) {
  return lower.kind != Kind::Unbounded ? lower : upper;
}

fst::Bound key_bound(const TermBound& b) {
  if (b.kind == Kind::Unbounded) return fst::Bound::unbounded();
  auto v = b.value.serialized_value_bytes();
  return b.kind == Kind::Included ? fst::Bound::included(v) : fst::Bound::excluded(v);
}

Result<U64Bound> mapped(const TermBound& b) {
  U64Bound out;
  out.kind = static_cast<U64Bound::Kind>(b.kind);
  if (b.kind == Kind::Unbounded) return out;
  auto v = b.value.as_u64_mapped();
  if (!v) return fail(v.error());
  out.value = *v;
  return out;
}

std::unique_ptr<Scorer> empty_scorer() { return std::make_unique<EmptyScorer>(); }

template <class C>
Result<std::unique_ptr<Scorer>> ordinal_range(const C& column, const TermBound& lower, const TermBound& upper,
                                              float boost, uint32_t max_doc) {
  auto ords = term_bounds_to_ordinals(*column.dictionary, schema::value_bytes_vec(lower),
                                      schema::value_bytes_vec(upper));
  if (!ords) return fail(ords.error());
  return u64_range_scorer(column.ords, ords->first, ords->second, boost, max_doc);
}

std::unique_ptr<Scorer> ip_range_scorer(columnar::Column<U128> column, const schema::TermBound<schema::Ipv6>& lower,
                                        const schema::TermBound<schema::Ipv6>& upper, float boost,
                                        uint32_t max_doc) {
  auto as_u128 = [](const schema::Ipv6& a) {
    U128 v = 0;
    for (uint8_t b : a) v = (v << 8) | b;
    return v;
  };
  const U128 kMax = ~U128{0};
  const U128 min = column.values->min_value();
  const U128 max = column.values->max_value();
  U128 start = min, end = max;
  if (lower.kind != schema::TermBound<schema::Ipv6>::Kind::Unbounded) {
    start = as_u128(lower.value);
    if (lower.kind == schema::TermBound<schema::Ipv6>::Kind::Excluded) {
      if (start == kMax) return empty_scorer();
      ++start;
    }
  }
  if (upper.kind != schema::TermBound<schema::Ipv6>::Kind::Unbounded) {
    end = as_u128(upper.value);
    if (upper.kind == schema::TermBound<schema::Ipv6>::Kind::Excluded) {
      if (end == 0) return empty_scorer();
      --end;
    }
  }
  const bool outside = start > max || end < min;
  return std::make_unique<ConstantScorer>(
      std::make_unique<FastFieldRangeDocSet<U128>>(std::move(column), start, end, max_doc, outside), boost);
}

}  // namespace

Result<std::unique_ptr<Weight>> RangeQuery::weight(const ScoringMode& mode) const {
  if (lower_.kind == Kind::Unbounded && upper_.kind == Kind::Unbounded) {
    return fail(FendralError::invalid_argument("A range query needs at least one bound"));
  }
  const schema::Term& term = first_bounded(lower_, upper_).value;
  const auto& entry = mode.schema->get_field_entry(term.field());
  if (entry.is_fast() && term.typ() != schema::ValueType::Facet) {
    return std::unique_ptr<Weight>(std::make_unique<FastFieldRangeWeight>(lower_, upper_));
  }
  if (entry.field_type.tag() == schema::FieldTypeTag::JsonObject) {
    return fail(FendralError::invalid_argument("RangeQuery on JSON is only supported for fast fields currently"));
  }
  return std::unique_ptr<Weight>(
      std::make_unique<TermRangeWeight>(term.field(), key_bound(lower_), key_bound(upper_), std::nullopt));
}

Result<std::unique_ptr<Scorer>> TermRangeWeight::scorer(const index::SegmentReader& reader, float boost) const {
  DocBitSet bits(reader.max_doc());
  auto inv = reader.inverted_index(field_);
  if (!inv) return fail(inv.error());
  auto stream = fst::StreamBuilder<>(&(*inv)->terms().fst()).lower_bound(lower_).upper_bound(upper_).into_stream();
  if (!stream) return fail(IoError(IoErrorKind::Other, stream.error().display()));
  if (auto ok = collect_term_docs(**inv, **stream, limit_, bits); !ok) return fail(ok.error());
  return std::unique_ptr<Scorer>(std::make_unique<ConstantScorer>(std::make_unique<BitSetDocSet>(std::move(bits)), boost));
}

Result<std::unique_ptr<Scorer>> FastFieldRangeWeight::scorer(const index::SegmentReader& reader, float boost) const {
  const uint32_t max_doc = reader.max_doc();
  if (lower_.kind == Kind::Unbounded && upper_.kind == Kind::Unbounded) {
    return std::unique_ptr<Scorer>(std::make_unique<AllScorer>(max_doc));
  }
  const schema::Term& term = first_bounded(lower_, upper_).value;
  const auto& entry = reader.schema().get_field_entry(term.field());
  auto ff = reader.fast_fields();
  if (!ff) return fail(ff.error());
  const std::string& path = entry.name;
  switch (entry.field_type.tag()) {
    case schema::FieldTypeTag::U64:
    case schema::FieldTypeTag::I64:
    case schema::FieldTypeTag::F64:
    case schema::FieldTypeTag::Bool:
    case schema::FieldTypeTag::Date: {
      auto lo = mapped(lower_);
      if (!lo) return fail(lo.error());
      auto hi = mapped(upper_);
      if (!hi) return fail(hi.error());
      static constexpr ColumnType kTypes[] = {ColumnType::U64, ColumnType::I64, ColumnType::F64, ColumnType::DateTime};
      auto col = (*ff)->column_as_u64(path, std::span<const ColumnType>(kTypes));
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      return u64_range_scorer(std::move((*col)->first), *lo, *hi, boost, max_doc);
    }
    case schema::FieldTypeTag::Str: {
      auto col = (*ff)->str_column(path);
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      return ordinal_range(**col, lower_, upper_, boost, max_doc);
    }
    case schema::FieldTypeTag::Bytes: {
      auto col = (*ff)->bytes_column(path);
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      return ordinal_range(**col, lower_, upper_, boost, max_doc);
    }
    case schema::FieldTypeTag::IpAddr: {
      auto lo = schema::as_ip_addr(lower_);
      if (!lo) return fail(lo.error());
      auto hi = schema::as_ip_addr(upper_);
      if (!hi) return fail(hi.error());
      auto col = (*ff)->ip_column(path);
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      return ip_range_scorer(std::move(**col), *lo, *hi, boost, max_doc);
    }
    case schema::FieldTypeTag::JsonObject:
      return fail(FendralError::invalid_argument("RangeQuery on JSON fields is not supported yet"));
    case schema::FieldTypeTag::Facet:
      break;
  }
  return empty_scorer();
}

IoResult<std::pair<U64Bound, U64Bound>> term_bounds_to_ordinals(const sstable::Dictionary& dict,
                                                                const schema::TermBound<std::vector<uint8_t>>& lower,
                                                                const schema::TermBound<std::vector<uint8_t>>& upper) {
  using BK = schema::TermBound<std::vector<uint8_t>>::Kind;
  using UK = U64Bound::Kind;
  std::pair<U64Bound, U64Bound> out;
  if (lower.kind != BK::Unbounded) {
    auto l = dict.lookup(lower.value);
    if (!l) return std::unexpected(l.error());
    out.first = lower.kind == BK::Excluded && l->found ? U64Bound{UK::Excluded, l->ord} : U64Bound{UK::Included, l->ord};
  }
  if (upper.kind != BK::Unbounded) {
    auto u = dict.lookup(upper.value);
    if (!u) return std::unexpected(u.error());
    out.second = upper.kind == BK::Included && u->found ? U64Bound{UK::Included, u->ord} : U64Bound{UK::Excluded, u->ord};
  }
  return out;
}

std::unique_ptr<Scorer> u64_range_scorer(columnar::Column<uint64_t> column, const U64Bound& lower,
                                         const U64Bound& upper, float boost, uint32_t max_doc) {
  using UK = U64Bound::Kind;
  const uint64_t min = column.values->min_value();
  const uint64_t max = column.values->max_value();
  uint64_t lo = min;
  if (lower.kind == UK::Included) lo = lower.value;
  if (lower.kind == UK::Excluded) {
    if (lower.value == UINT64_MAX) return empty_scorer();
    lo = lower.value + 1;
  }
  lo = std::max(lo, min);
  uint64_t hi = max;
  if (upper.kind == UK::Included) hi = upper.value;
  if (upper.kind == UK::Excluded) {
    if (upper.value == 0) return empty_scorer();
    hi = upper.value - 1;
  }
  if (lo > hi) return empty_scorer();
  if (lo == min && hi >= max) {
    const auto kind = column.index.kind();
    if (kind == columnar::ColumnIndex::Kind::Full || kind == columnar::ColumnIndex::Kind::Empty) {
      uint32_t n = kind == columnar::ColumnIndex::Kind::Full ? column.values->num_vals() : 0;
      auto all = std::make_unique<AllScorer>(std::min(n, max_doc));
      if (boost == 1.0f) return all;
      return std::make_unique<ConstantScorer>(std::move(all), boost);
    }
  }
  const bool outside = lo > max || hi < min;
  return std::make_unique<ConstantScorer>(
      std::make_unique<FastFieldRangeDocSet<uint64_t>>(std::move(column), lo, hi, max_doc, outside), boost);
}

}  // namespace fendral::query
