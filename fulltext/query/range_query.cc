#include "fulltext/query/range_query.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

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

// ---- JSON ranges -----------------------------------------------------------

// A JSON bound split after its path: the value's type code and bytes.
struct JsonValue {
  uint8_t code = 0;
  std::span<const uint8_t> bytes;
};

std::optional<JsonValue> json_value(const schema::Term& t) {
  auto v = t.serialized_value_bytes();
  auto zero = std::find(v.begin(), v.end(), schema::kJsonPathEnd);
  if (zero == v.end() || zero + 1 == v.end()) return std::nullopt;
  const size_t at = static_cast<size_t>(zero - v.begin()) + 1;
  return JsonValue{v[at], v.subspan(at + 1)};
}

uint64_t read_be64(std::span<const uint8_t> b) {
  uint64_t v = 0;
  for (uint8_t x : b) v = (v << 8) | x;
  return v;
}

constexpr uint64_t kSign = uint64_t{1} << 63;

// The stored form of a whole double in an integer column, saturating.
uint64_t integer_form(double x, ColumnType column) {
  if (column == ColumnType::I64) {
    int64_t i = x >= 9223372036854775808.0 ? INT64_MAX : x <= -9223372036854775808.0 ? INT64_MIN : static_cast<int64_t>(x);
    return static_cast<uint64_t>(i) ^ kSign;
  }
  return x >= 18446744073709551616.0 ? UINT64_MAX : x <= 0.0 ? 0 : static_cast<uint64_t>(x);
}

// One numeric JSON bound in a column's value space. Bounds that match
// nothing become Excluded(u64::MAX) (lower) or Excluded(0) (upper).
U64Bound json_numeric_bound(const TermBound& b, bool is_lower, ColumnType column) {
  using UK = U64Bound::Kind;
  if (b.kind == Kind::Unbounded) return {};
  const U64Bound nothing = is_lower ? U64Bound{UK::Excluded, UINT64_MAX} : U64Bound{UK::Excluded, 0};
  const UK kind = b.kind == Kind::Included ? UK::Included : UK::Excluded;
  auto jv = json_value(b.value);
  if (!jv || jv->bytes.size() != 8) return nothing;
  const uint64_t raw = read_be64(jv->bytes);
  switch (static_cast<schema::ValueType>(jv->code)) {
    case schema::ValueType::U64:
      if (column == ColumnType::U64) return {kind, raw};
      if (column == ColumnType::F64) return {kind, schema::f64_to_u64(static_cast<double>(raw))};
      if (raw <= static_cast<uint64_t>(INT64_MAX)) return {kind, raw ^ kSign};
      return is_lower ? nothing : U64Bound{};
    case schema::ValueType::I64: {
      const int64_t x = schema::u64_to_i64(raw);
      if (column == ColumnType::I64) return {kind, raw};
      if (column == ColumnType::F64) return {kind, schema::f64_to_u64(static_cast<double>(x))};
      if (is_lower) return x < 0 ? U64Bound{} : U64Bound{kind, static_cast<uint64_t>(x)};
      if (x < 0 || (x == 0 && kind == UK::Excluded)) return nothing;
      return {kind, static_cast<uint64_t>(x)};
    }
    case schema::ValueType::F64: {
      if (column == ColumnType::F64) return {kind, raw};
      const double x = schema::u64_to_f64(raw);
      if (std::isnan(x)) return nothing;
      const double low = column == ColumnType::I64 ? -9223372036854775808.0 : 0.0;
      const double high = column == ColumnType::I64 ? 9223372036854775808.0 : 18446744073709551616.0;
      if (is_lower) {
        if (x < low) return {};
        if (x > high) return nothing;
        if (x == std::trunc(x)) return {kind, integer_form(x, column)};
        return {UK::Included, integer_form(std::ceil(x), column)};
      }
      if (x < low) return nothing;
      if (x > high) return {UK::Included, UINT64_MAX};
      if (x == std::trunc(x)) return {kind, integer_form(x, column)};
      return {UK::Included, integer_form(std::floor(x), column)};
    }
    default:
      return nothing;
  }
}

Result<std::unique_ptr<Scorer>> json_range(const fastfield::FastFieldReaders& ff, const std::string& path,
                                           const TermBound& lower, const TermBound& upper, float boost,
                                           uint32_t max_doc) {
  auto jv = json_value(first_bounded(lower, upper).value);
  if (!jv) return empty_scorer();
  switch (jv->code) {
    case 'u':
    case 'i':
    case 'f': {
      static constexpr ColumnType kTypes[] = {ColumnType::F64, ColumnType::I64, ColumnType::U64};
      auto col = ff.column_as_u64(path, std::span<const ColumnType>(kTypes));
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      const ColumnType t = (*col)->second;
      return u64_range_scorer(std::move((*col)->first), json_numeric_bound(lower, true, t),
                              json_numeric_bound(upper, false, t), boost, max_doc);
    }
    case 'd': {
      static constexpr ColumnType kTypes[] = {ColumnType::DateTime};
      auto col = ff.column_as_u64(path, std::span<const ColumnType>(kTypes));
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      auto raw = [](const TermBound& b) {
        U64Bound out;
        out.kind = static_cast<U64Bound::Kind>(b.kind);
        if (b.kind != Kind::Unbounded) {
          auto v = json_value(b.value);
          out.value = v && v->bytes.size() == 8 ? read_be64(v->bytes) : 0;
        }
        return out;
      };
      return u64_range_scorer(std::move((*col)->first), raw(lower), raw(upper), boost, max_doc);
    }
    case 's': {
      auto col = ff.str_column(path);
      if (!col) return fail(col.error());
      if (!*col) return empty_scorer();
      auto text = [](const TermBound& b) {
        schema::TermBound<std::vector<uint8_t>> out;
        out.kind = static_cast<schema::TermBound<std::vector<uint8_t>>::Kind>(b.kind);
        if (auto v = b.kind != Kind::Unbounded ? json_value(b.value) : std::nullopt) out.value.assign(v->bytes.begin(), v->bytes.end());
        return out;
      };
      auto ords = term_bounds_to_ordinals(*(*col)->dictionary, text(lower), text(upper));
      if (!ords) return fail(ords.error());
      return u64_range_scorer((*col)->ords, ords->first, ords->second, boost, max_doc);
    }
    default: {
      auto t = schema::value_type_from_code(jv->code);
      return fail(FendralError::invalid_argument(
          fmt::format("unsupported value bytes type in json term value_bytes {}",
                      t ? schema::value_type_debug(*t) : std::string_view("unknown"))));
    }
  }
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
    case schema::FieldTypeTag::JsonObject: {
      // The term's JSON path (segment separators as they are) names the column.
      std::string json_path = path;
      auto v = term.serialized_value_bytes();
      if (auto zero = std::find(v.begin(), v.end(), schema::kJsonPathEnd); zero != v.end()) {
        json_path += "." + std::string(v.begin(), zero);
      }
      return json_range(**ff, json_path, lower_, upper_, boost, max_doc);
    }
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
