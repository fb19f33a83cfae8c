#include "fulltext/indexer/segment_writer.h"

#include <algorithm>
#include <fmt/format.h>

#include "common/log.h"
#include "fulltext/core/json_utils.h"
#include "fulltext/postings/serialize_postings.h"
#include "fulltext/schema/term.h"

namespace fendral::indexer {
namespace {

constexpr const char* kTarget = "fendral::indexer::segment_writer";

std::string_view value_type_name(schema::FieldTypeTag tag) {
  static constexpr std::string_view kNames[] = {"Str",   "U64",   "I64",  "F64",  "Bool",
                                                "Date",  "Facet", "Bytes", "Json", "IpAddr"};
  return kNames[static_cast<size_t>(tag)];
}

// The message of a value that has no term form inside a JSON field, or
// null when the whole value can be indexed.
const char* json_unsupported(const schema::OwnedValue& value) {
  return std::visit(
      [](const auto& x) -> const char* {
        using V = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<V, schema::FacetValue>) {
          return "not implemented: Facet support in dynamic fields is not yet implemented";
        } else if constexpr (std::is_same_v<V, schema::BytesValue>) {
          return "not implemented: Bytes support in dynamic fields is not yet implemented";
        } else if constexpr (std::is_same_v<V, schema::IpValue>) {
          return "not implemented: IP address support in dynamic fields is not yet implemented";
        } else if constexpr (std::is_same_v<V, tokenizer::PreTokenizedString>) {
          return "not implemented: Pre-tokenized string support in dynamic fields is not yet implemented";
        } else if constexpr (std::is_same_v<V, schema::OwnedArray>) {
          for (const auto& e : x) {
            if (const char* m = json_unsupported(e)) return m;
          }
          return nullptr;
        } else if constexpr (std::is_same_v<V, schema::OwnedObject>) {
          for (const auto& [key, e] : x) {
            if (key.find('\0') != std::string::npos) continue;  // skipped with its subtree
            if (const char* m = json_unsupported(e)) return m;
          }
          return nullptr;
        } else {
          return nullptr;
        }
      },
      value.v);
}

// The term image of a non-text value (its type checked by check_document).
void append_value(postings::IndexingTerm& term, const schema::OwnedValue& value) {
  std::visit(
      [&](const auto& x) {
        using V = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<V, uint64_t>) term.append_u64_be(x);
        else if constexpr (std::is_same_v<V, int64_t>) term.append_u64_be(schema::i64_to_u64(x));
        else if constexpr (std::is_same_v<V, double>) term.append_u64_be(schema::f64_to_u64(x));
        else if constexpr (std::is_same_v<V, bool>) term.append_u64_be(x ? 1 : 0);
        else if constexpr (std::is_same_v<V, schema::DateValue>)
          term.append_u64_be(schema::i64_to_u64(x.nanos / 1'000'000'000 * 1'000'000'000));
        else if constexpr (std::is_same_v<V, schema::BytesValue>) term.append_bytes(x.bytes);
        else if constexpr (std::is_same_v<V, schema::IpValue>) term.append_bytes(x);
      },
      value.v);
}

}  // namespace

Result<size_t> SegmentWriter::hash_table_capacity(size_t budget) {
  size_t limit = budget / 3;
  for (int k = 19; k >= 10; --k) {
    if ((size_t{8} << k) < limit) return size_t{1} << k;
  }
  return fail(FendralError::invalid_argument(fmt::format(
      "per thread memory budget (={}) is too small. Raise the memory budget or lower the number of threads.", budget)));
}

Result<std::unique_ptr<SegmentWriter>> SegmentWriter::create(size_t budget, const index::FendralIndex& index,
                                                             index::SegmentMeta segment) {
  auto slots = hash_table_capacity(budget);
  if (!slots) return fail(slots.error());
  auto fast = fastfield::FastFieldsWriter::from_schema(index.schema(), index.fast_field_tokenizers());
  if (!fast) return fail(fast.error());
  std::unique_ptr<SegmentWriter> w(new SegmentWriter(index, segment, *slots, std::move(*fast)));
  auto serializer = SegmentSerializer::open(index, segment);
  if (!serializer) return fail(serializer.error());
  w->serializer_ = std::move(*serializer);
  for (const auto& entry : index.schema().fields()) {
    w->writers_.push_back(entry.is_indexed() ? postings::make_postings_writer(entry) : nullptr);
    std::string name = "default";
    if (const auto* ti = entry.field_type.text_indexing()) name = ti->tokenizer;
    auto analyzer = index.tokenizers().get(name);
    if (!analyzer) {
      return fail(FendralError::schema_error(fmt::format("Error getting tokenizer for field: {}", entry.name)));
    }
    w->analyzers_.push_back(std::move(*analyzer));
  }
  w->doc_opstamps_.reserve(1000);
  return w;
}

namespace {

// Whether a top node of this kind fits the field (text and JSON take any
// value); each kind decodes to the value type of the field it fits.
bool kind_matches(schema::FieldTypeTag tag, schema::NodeKind kind) {
  using T = schema::FieldTypeTag;
  using K = schema::NodeKind;
  switch (tag) {
    case T::U64: return kind == K::U64;
    case T::I64: return kind == K::I64;
    case T::F64: return kind == K::F64;
    case T::Bool: return kind == K::Bool;
    case T::Date: return kind == K::Date;
    case T::Facet: return kind == K::Facet;
    case T::Bytes: return kind == K::Bytes;
    case T::IpAddr: return kind == K::IpAddr;
    case T::Str:
    case T::JsonObject: return true;
  }
  return true;
}

}  // namespace

Result<void> check_document(const schema::Schema& schema, const schema::CompactDoc& doc) {
  for (size_t i = 0; i < doc.num_entries(); ++i) {
    schema::Field field = doc.entry_field(i);
    if (field >= schema.num_fields()) {
      return fail(FendralError::schema_error(fmt::format("Document names field id {}, not in the schema", field)));
    }
    const auto& entry = schema.get_field_entry(field);
    if (!entry.is_indexed()) continue;
    auto tag = entry.field_type.tag();
    if (!kind_matches(tag, doc.entry_kind(i))) {
      return fail(FendralError::schema_error(
          fmt::format("Expected a {} for field {:?}", value_type_name(tag), entry.name)));
    }
    if (tag == schema::FieldTypeTag::JsonObject) {
      auto value = doc.entry_value(i);
      if (!value) return fail(value.error());
      if (const char* message = json_unsupported(*value)) return fail(FendralError::invalid_argument(message));
    }
  }
  return {};
}

Result<void> SegmentWriter::add_document(const AddOperation& op) {
  if (auto ok = check_document(index_.schema(), op.document); !ok) return ok;
  auto values = op.document.field_values();
  if (!values) return fail(values.error());
  if (auto ok = fast_.add_document(max_doc_, op.document); !ok) return ok;
  doc_opstamps_.push_back(op.opstamp);
  if (auto ok = index_document(max_doc_, *values); !ok) return ok;
  if (auto ok = serializer_->store().store_document(*values, index_.schema()); !ok) return ok;
  ++max_doc_;
  return {};
}

Result<void> SegmentWriter::index_document(uint32_t doc,
                                           const std::vector<std::pair<schema::Field, schema::OwnedValue>>& values) {
  using T = schema::FieldTypeTag;
  std::vector<size_t> order(values.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a].first < values[b].first; });
  for (size_t i = 0; i < order.size();) {
    schema::Field field = values[order[i]].first;
    size_t end = i;
    while (end < order.size() && values[order[end]].first == field) ++end;
    const auto& entry = index_.schema().get_field_entry(field);
    auto* writer = writers_[field].get();
    if (!entry.is_indexed() || writer == nullptr) {
      i = end;
      continue;
    }
    postings::IndexingTerm term(field);
    uint32_t count = 0;
    switch (entry.field_type.tag()) {
      case T::Str: {
        postings::IndexingPosition pos;
        for (size_t j = i; j < end; ++j) {
          const auto& v = values[order[j]].second.v;
          std::unique_ptr<tokenizer::TokenStream> stream;
          if (const auto* s = std::get_if<std::string>(&v)) {
            stream = analyzers_[field]->token_stream(*s);
          } else if (const auto* p = std::get_if<tokenizer::PreTokenizedString>(&v)) {
            stream = std::make_unique<tokenizer::PreTokenizedStream>(*p);
          } else {
            continue;
          }
          term.truncate_value_bytes(0);
          if (auto ok = writer->index_text(doc, *stream, term, ctx_, pos); !ok) return ok;
        }
        count = pos.num_tokens;
        break;
      }
      case T::Facet: {
        tokenizer::FacetTokenizer facets;
        for (size_t j = i; j < end; ++j) {
          const auto& f = std::get<schema::FacetValue>(values[order[j]].second.v);
          postings::IndexingPosition pos;
          auto stream = facets.token_stream(f.encoded);
          term.truncate_value_bytes(0);
          if (auto ok = writer->index_text(doc, *stream, term, ctx_, pos); !ok) return ok;
        }
        break;
      }
      case T::JsonObject: {
        const auto& options = std::get<schema::JsonObjectOptions>(entry.field_type.options());
        json_path_.set_expand_dots(options.expand_dots_enabled);
        json_positions_.clear();
        for (size_t j = i; j < end; ++j) {
          json_path_.clear();
          if (auto ok = core::json_utils::index_json_value(doc, values[order[j]].second, *analyzers_[field], term,
                                                           json_path_, *writer, ctx_, json_positions_);
              !ok) {
            return ok;
          }
        }
        break;
      }
      default:
        for (size_t j = i; j < end; ++j) {
          term.truncate_value_bytes(0);
          append_value(term, values[order[j]].second);
          if (auto ok = writer->subscribe(doc, 0, term, ctx_); !ok) return ok;
          ++count;
        }
        break;
    }
    auto tag = entry.field_type.tag();
    if (entry.has_fieldnorms() && tag != T::Facet && tag != T::JsonObject) norms_.record(doc, field, count);
    i = end;
  }
  return {};
}

size_t SegmentWriter::mem_usage() const {
  size_t norms = 0;
  for (schema::Field f = 0; f < index_.schema().num_fields(); ++f) {
    if (const auto* b = norms_.buffer(f)) norms += b->capacity();
  }
  return ctx_.mem_usage() + norms + fast_.mem_usage();
}

Result<void> SegmentWriter::write_fast_fields() {
  ZLOG(Debug, kTarget, "fastfield-serialize");
  if (auto ok = fast_.serialize(max_doc_, serializer_->fast_fields()); !ok) return fail(ok.error());
  return {};
}

Result<std::vector<uint64_t>> SegmentWriter::finalize(std::unique_ptr<SegmentWriter> w) {
  w->norms_.pad_to_doc_count(w->max_doc_);
  ZLOG(Debug, kTarget, "remap-and-write");
  if (auto composite = w->serializer_->take_field_norms()) {
    if (auto ok = w->norms_.serialize(std::move(*composite)); !ok) return fail(ok.error());
  }
  auto slice = w->index_.directory().open_read(w->segment_.relative_path(index::SegmentComponent::FieldNorms));
  if (!slice) return fail(slice.error());
  auto readers = fieldnorm::FieldNormReaders::open(*slice);
  if (!readers) return fail(readers.error());
  if (auto ok = postings::serialize_postings(w->ctx_, w->index_.schema(), w->writers_, *readers,
                                             w->serializer_->inverted_index());
      !ok) {
    return fail(ok.error());
  }
  if (auto ok = w->write_fast_fields(); !ok) return fail(ok.error());
  ZLOG(Debug, kTarget, "serializer-close");
  if (auto ok = SegmentSerializer::close(std::move(w->serializer_)); !ok) return fail(ok.error());
  return std::move(w->doc_opstamps_);
}

}  // namespace fendral::indexer
