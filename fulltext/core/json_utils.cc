#include "fulltext/core/json_utils.h"

#include <cmath>
#include <limits>

namespace fendral::core::json_utils {
namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

struct Walk {
  uint32_t doc;
  tokenizer::TextAnalyzer& analyzer;
  postings::IndexingTerm& term;
  JsonPathWriter& path;
  postings::PostingsWriter& writer;
  postings::IndexingContext& ctx;
  IndexingPositionsPerPath& positions;

  // Term buffer = field bytes, path id; returns the path id.
  uint32_t start_term() {
    uint32_t id = ctx.path_to_unordered_id.get_or_allocate_unordered_id(path.as_str());
    term.truncate_value_bytes(0);
    term.append_u32_be(id);
    return id;
  }

  Result<void> subscribe() { return writer.subscribe(doc, 0, term, ctx); }

  Result<void> index_f64(double x) {
    if (!std::isfinite(x)) return {};
    start_term();
    if (std::trunc(x) != x) {
      term.append_f64(x);
    } else if (std::fabs(x) <= kTwoPow63) {
      term.append_i64(x >= kTwoPow63 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(x));
    } else if (x >= 0 && x <= kTwoPow64) {
      term.append_u64(x >= kTwoPow64 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(x));
    } else {
      term.append_f64(x);
    }
    return subscribe();
  }

  Result<void> index_object(const schema::OwnedObject& object) {
    for (const auto& [key, member] : object) {
      if (key.find('\0') != std::string::npos) continue;
      path.push(key);
      auto ok = index(member);
      path.pop();
      if (!ok) return ok;
    }
    return {};
  }

  Result<void> index(const schema::OwnedValue& value) {
    return std::visit(
        [&](const auto& x) -> Result<void> {
          using V = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<V, std::monostate>) {
            return {};
          } else if constexpr (std::is_same_v<V, schema::OwnedObject>) {
            return index_object(x);
          } else if constexpr (std::is_same_v<V, schema::OwnedArray>) {
            for (const auto& element : x) {
              if (auto ok = index(element); !ok) return ok;
            }
            return {};
          } else if constexpr (std::is_same_v<V, std::string>) {
            auto stream = analyzer.token_stream(x);
            uint32_t id = start_term();
            term.append_type_code(schema::ValueType::Str);
            return writer.index_text(doc, *stream, term, ctx, positions[id]);
          } else if constexpr (std::is_same_v<V, uint64_t>) {
            start_term();
            if (x <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
              term.append_i64(static_cast<int64_t>(x));
            } else {
              term.append_u64(x);
            }
            return subscribe();
          } else if constexpr (std::is_same_v<V, int64_t>) {
            start_term();
            term.append_i64(x);
            return subscribe();
          } else if constexpr (std::is_same_v<V, double>) {
            return index_f64(x);
          } else if constexpr (std::is_same_v<V, schema::DateValue>) {
            start_term();
            term.append_type_code(schema::ValueType::Date);
            term.append_u64_be(schema::i64_to_u64(x.nanos / 1'000'000'000 * 1'000'000'000));
            return subscribe();
          } else if constexpr (std::is_same_v<V, bool>) {
            start_term();
            term.append_type_code(schema::ValueType::Bool);
            term.append_u64_be(x ? 1 : 0);
            return subscribe();
          } else if constexpr (std::is_same_v<V, schema::FacetValue>) {
            return fail(FendralError::invalid_argument(
                "not implemented: Facet support in dynamic fields is not yet implemented"));
          } else if constexpr (std::is_same_v<V, schema::BytesValue>) {
            return fail(FendralError::invalid_argument(
                "not implemented: Bytes support in dynamic fields is not yet implemented"));
          } else if constexpr (std::is_same_v<V, schema::IpValue>) {
            return fail(FendralError::invalid_argument(
                "not implemented: IP address support in dynamic fields is not yet implemented"));
          } else {
            static_assert(std::is_same_v<V, tokenizer::PreTokenizedString>);
            return fail(FendralError::invalid_argument(
                "not implemented: Pre-tokenized string support in dynamic fields is not yet implemented"));
          }
        },
        value.v);
  }
};

}  // namespace

Result<void> index_json_value(uint32_t doc, const schema::OwnedValue& value, tokenizer::TextAnalyzer& analyzer,
                              postings::IndexingTerm& term, JsonPathWriter& path, postings::PostingsWriter& writer,
                              postings::IndexingContext& ctx, IndexingPositionsPerPath& positions) {
  Walk walk{doc, analyzer, term, path, writer, ctx, positions};
  return walk.index(value);
}

}  // namespace fendral::core::json_utils
