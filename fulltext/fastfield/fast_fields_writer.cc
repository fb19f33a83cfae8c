#include "fulltext/fastfield/fast_fields_writer.h"

#include <type_traits>

namespace fendral::fastfield {

namespace {

using columnar::ColumnType;
using columnar::NumericalValue;
using schema::FieldTypeTag;
using schema::OwnedValue;

columnar::Name name_of(const std::string& s) { return columnar::as_name(s); }

int64_t truncate_date(int64_t nanos, uint8_t precision) {
  switch (precision) {
    case 0: return nanos / 1000000000 * 1000000000;
    case 1: return nanos / 1000000 * 1000000;
    case 2: return nanos / 1000 * 1000;
    default: return nanos;
  }
}

}  // namespace

template <class V>
Result<void> FastFieldsWriter::record_leaf(uint32_t doc, columnar::Name column, const V& v, FieldInfo& info) {
  if constexpr (std::is_same_v<V, std::string>) {
    return record_text(doc, column, v, info);
  } else if constexpr (std::is_same_v<V, uint64_t>) {
    return columnar_.record_numerical(doc, column, NumericalValue::from_u64(v));
  } else if constexpr (std::is_same_v<V, int64_t>) {
    return columnar_.record_numerical(doc, column, NumericalValue::from_i64(v));
  } else if constexpr (std::is_same_v<V, double>) {
    return columnar_.record_numerical(doc, column, NumericalValue::from_f64(v));
  } else {
    static_assert(std::is_same_v<V, bool>);
    return columnar_.record_bool(doc, column, v);
  }
}

Result<FastFieldsWriter> FastFieldsWriter::from_schema(const schema::Schema& schema,
                                                       const tokenizer::TokenizerManager& tokenizers) {
  FastFieldsWriter w;
  auto tokenizer_for = [&](const schema::FastFieldTextOptions& fast,
                           FieldInfo& info) -> Result<void> {
    if (!fast.with_tokenizer) return {};
    info.tokenizer = tokenizers.get(*fast.with_tokenizer);
    if (!info.tokenizer) {
      return fail(FendralError::invalid_argument("Tokenizer " + debug_quote(*fast.with_tokenizer) + " not found"));
    }
    return {};
  };
  for (const schema::FieldEntry& entry : schema.fields()) {
    FieldInfo info;
    const auto& type = entry.field_type;
    const FieldTypeTag tag = type.tag();
    std::optional<ColumnType> declared;
    bool sort_within_row = false;
    bool fast = false;
    switch (tag) {
      case FieldTypeTag::Str: {
        const auto& o = std::get<0>(type.options());
        fast = o.fast.is_enabled();
        if (fast) {
          declared = ColumnType::Str;
          if (auto r = tokenizer_for(o.fast, info); !r) return std::unexpected(r.error());
        }
        break;
      }
      case FieldTypeTag::U64: fast = std::get<1>(type.options()).fast; declared = ColumnType::U64; break;
      case FieldTypeTag::I64: fast = std::get<2>(type.options()).fast; declared = ColumnType::I64; break;
      case FieldTypeTag::F64: fast = std::get<3>(type.options()).fast; declared = ColumnType::F64; break;
      case FieldTypeTag::Bool: fast = std::get<4>(type.options()).fast; declared = ColumnType::Bool; break;
      case FieldTypeTag::Date: {
        const auto& o = std::get<5>(type.options());
        fast = o.fast;
        declared = ColumnType::DateTime;
        info.date_precision = static_cast<uint8_t>(o.precision);
        break;
      }
      case FieldTypeTag::Facet:
        fast = true;
        declared = ColumnType::Str;
        sort_within_row = true;
        break;
      case FieldTypeTag::Bytes: fast = std::get<7>(type.options()).fast; declared = ColumnType::Bytes; break;
      case FieldTypeTag::JsonObject: {
        const auto& o = std::get<8>(type.options());
        fast = o.fast.is_enabled();
        info.expand_dots = o.expand_dots_enabled;
        if (fast) {
          if (auto r = tokenizer_for(o.fast, info); !r) return std::unexpected(r.error());
        }
        break;
      }
      case FieldTypeTag::IpAddr: fast = std::get<9>(type.options()).fast; declared = ColumnType::IpAddr; break;
    }
    if (fast) {
      info.column = entry.name;
      if (declared) w.columnar_.record_column_type(entry.name, *declared, sort_within_row);
    }
    w.fields_.push_back(std::move(info));
    w.tags_.push_back(tag);
  }
  return w;
}

Result<void> FastFieldsWriter::record_text(uint32_t doc, columnar::Name column, const std::string& text,
                                           FieldInfo& info) {
  if (!info.tokenizer) return columnar_.record_str(doc, column, name_of(text));
  Result<void> status;
  info.tokenizer->token_stream(text)->process([&](const tokenizer::Token& t) {
    if (status) status = columnar_.record_str(doc, column, name_of(t.text));
  });
  return status;
}

Result<void> FastFieldsWriter::add_document(uint32_t doc, const schema::CompactDoc& document) {
  for (size_t i = 0; i < document.num_entries(); ++i) {
    schema::Field field = document.entry_field(i);
    if (field >= fields_.size() || !fields_[field].column) continue;  // not fast: nothing to decode
    auto value = document.entry_value(i);
    if (!value) return std::unexpected(value.error());
    if (auto r = add_doc_value(doc, document.entry_field(i), *value); !r) return r;
  }
  return {};
}

Result<void> FastFieldsWriter::add_doc_value(uint32_t doc, schema::Field field, const OwnedValue& value) {
  if (field >= fields_.size() || !fields_[field].column) return {};
  FieldInfo& info = fields_[field];
  const columnar::Name column = name_of(*info.column);
  return std::visit(
      [&](const auto& v) -> Result<void> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (is_common_leaf<V>) {
          return record_leaf(doc, column, v, info);
        } else if constexpr (std::is_same_v<V, std::monostate>) {
          return {};
        } else if constexpr (std::is_same_v<V, schema::DateValue>) {
          return columnar_.record_datetime(doc, column, truncate_date(v.nanos, info.date_precision));
        } else if constexpr (std::is_same_v<V, schema::FacetValue>) {
          return columnar_.record_str(doc, column, name_of(v.encoded));
        } else if constexpr (std::is_same_v<V, schema::BytesValue>) {
          return columnar_.record_bytes(doc, column, v.bytes);
        } else if constexpr (std::is_same_v<V, schema::IpValue>) {
          return columnar_.record_ip_addr(doc, column, v);
        } else if constexpr (std::is_same_v<V, tokenizer::PreTokenizedString>) {
          for (const auto& t : v.tokens) {
            if (auto r = columnar_.record_str(doc, column, name_of(t.text)); !r) return r;
          }
          return {};
        } else if constexpr (std::is_same_v<V, schema::OwnedArray>) {
          for (const OwnedValue& e : v) {
            if (auto r = add_doc_value(doc, field, e); !r) return r;
          }
          return {};
        } else {
          static_assert(std::is_same_v<V, schema::OwnedObject>);
          path_.clear();
          path_.set_expand_dots(false);
          path_.push(*info.column);
          path_.set_expand_dots(info.expand_dots);
          return record_json(doc, value, info, kJsonDepthBudget + 1);
        }
      },
      value.v);
}

// Records a JSON value at the current path. The top-level object is entered
// with one more than the budget, so its values get the full budget.
Result<void> FastFieldsWriter::record_json(uint32_t doc, const OwnedValue& value, FieldInfo& info, int budget) {
  if (budget <= 0) return {};
  const columnar::Name path = name_of(path_.as_str());
  return std::visit(
      [&](const auto& v) -> Result<void> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (is_common_leaf<V>) {
          return record_leaf(doc, path, v, info);
        } else if constexpr (std::is_same_v<V, schema::DateValue>) {
          return columnar_.record_datetime(doc, path, v.nanos);
        } else if constexpr (std::is_same_v<V, schema::OwnedArray>) {
          for (const OwnedValue& e : v) {
            if (auto r = record_json(doc, e, info, budget - 1); !r) return r;
          }
          return {};
        } else if constexpr (std::is_same_v<V, schema::OwnedObject>) {
          for (const auto& [key, child] : v) {
            path_.push(key);
            auto r = record_json(doc, child, info, budget - 1);
            path_.pop();
            if (!r) return r;
          }
          return {};
        } else {
          // Null records nothing; facets, bytes, IP addresses and
          // pre-tokenized texts are not supported inside JSON fields.
          return {};
        }
      },
      value.v);
}

}  // namespace fendral::fastfield
