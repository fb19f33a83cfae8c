#include "fulltext/schema/schema_json.h"

#include <fmt/format.h>

namespace fendral::schema {

namespace json = zudizid::common::json;
using json_de::De;
template <class T>
using JResult = json_de::Result<T>;

static const std::vector<std::string_view> kRecordNames = {"basic", "freq", "position"};
static const std::vector<std::string_view> kPrecisionNames = {"seconds", "milliseconds", "microseconds",
                                                              "nanoseconds"};
static const std::vector<std::string_view> kTypeNames = {"text", "u64",   "i64",   "f64",         "bool",
                                                         "date", "facet", "bytes", "json_object", "ip_addr"};

// ---- writing ---------------------------------------------------------------------

static void write_indexing(json::Writer& w, const TextFieldIndexing& ix) {
  w.begin_object();
  w.key("record");
  w.string(kRecordNames[static_cast<size_t>(ix.record)]);
  w.key("fieldnorms");
  w.boolean(ix.fieldnorms);
  w.key("tokenizer");
  w.string(ix.tokenizer);
  w.end_object();
}

static void write_fast(json::Writer& w, const FastFieldTextOptions& fast) {
  if (fast.with_tokenizer) {
    w.begin_object();
    w.key("with_tokenizer");
    w.string(*fast.with_tokenizer);
    w.end_object();
  } else {
    w.boolean(fast.enabled);
  }
}

static void flag(json::Writer& w, const char* key, bool v) {
  w.key(key);
  w.boolean(v);
}

void write_field_entry(json::Writer& w, const FieldEntry& entry) {
  w.begin_object();
  w.key("name");
  w.string(entry.name);
  w.key("type");
  w.string(entry.field_type.json_name());
  w.key("options");
  w.begin_object();
  const auto& opts = entry.field_type.options();
  switch (entry.field_type.tag()) {
    case FieldTypeTag::Str: {
      const auto& o = std::get<TextOptions>(opts);
      if (o.indexing) {
        w.key("indexing");
        write_indexing(w, *o.indexing);
      }
      flag(w, "stored", o.stored);
      w.key("fast");
      write_fast(w, o.fast);
      if (o.coerce) flag(w, "coerce", true);
      break;
    }
    case FieldTypeTag::U64:
    case FieldTypeTag::I64:
    case FieldTypeTag::F64:
    case FieldTypeTag::Bool: {
      const auto& o = *entry.field_type.numeric_options();
      flag(w, "indexed", o.indexed);
      flag(w, "fieldnorms", o.fieldnorms);
      flag(w, "fast", o.fast);
      flag(w, "stored", o.stored);
      if (o.coerce) flag(w, "coerce", true);
      break;
    }
    case FieldTypeTag::Date: {
      const auto& o = std::get<DateOptions>(opts);
      flag(w, "indexed", o.indexed);
      flag(w, "fieldnorms", o.fieldnorms);
      flag(w, "fast", o.fast);
      flag(w, "stored", o.stored);
      w.key("precision");
      w.string(kPrecisionNames[static_cast<size_t>(o.precision)]);
      break;
    }
    case FieldTypeTag::Facet: flag(w, "stored", std::get<FacetOptions>(opts).stored); break;
    case FieldTypeTag::Bytes: {
      const auto& o = std::get<BytesOptions>(opts);
      flag(w, "indexed", o.indexed);
      flag(w, "fieldnorms", o.fieldnorms);
      flag(w, "fast", o.fast);
      flag(w, "stored", o.stored);
      break;
    }
    case FieldTypeTag::JsonObject: {
      const auto& o = std::get<JsonObjectOptions>(opts);
      flag(w, "stored", o.stored);
      w.key("indexing");
      if (o.indexing) {
        write_indexing(w, *o.indexing);
      } else {
        w.null();
      }
      w.key("fast");
      write_fast(w, o.fast);
      flag(w, "expand_dots_enabled", o.expand_dots_enabled);
      break;
    }
    case FieldTypeTag::IpAddr: {
      const auto& o = std::get<IpAddrOptions>(opts);
      flag(w, "fast", o.fast);
      flag(w, "stored", o.stored);
      flag(w, "indexed", o.indexed);
      flag(w, "fieldnorms", o.fieldnorms);
      break;
    }
  }
  w.end_object();
  w.end_object();
}

void write_schema(json::Writer& w, const Schema& schema) {
  w.begin_array();
  for (const auto& e : schema.fields()) write_field_entry(w, e);
  w.end_array();
}

// ---- reading -----------------------------------------------------------------------

namespace {

// One declared member of a record: its reader, and whether it is required
// (has no default).
struct Member {
  std::string_view name;
  bool required;
  std::function<JResult<void>()> read;
};

// Reads a record of the declared members, as an object or as an array in
// declaration order.
JResult<void> read_members(De& de, std::string_view record_name, std::vector<Member>& members) {
  std::vector<std::string_view> names;
  for (const auto& m : members) names.push_back(m.name);
  std::vector<bool> seen(members.size(), false);
  auto r = de.record(fmt::format("struct {}", record_name), names, [&](std::string_view key) -> JResult<bool> {
    for (size_t i = 0; i < members.size(); ++i) {
      if (members[i].name == key) {
        seen[i] = true;
        if (auto x = members[i].read(); !x) return std::unexpected(x.error());
        return true;
      }
    }
    return false;
  });
  if (!r) return r;
  if (auto n = de.seq_len()) {
    for (size_t i = *n; i < members.size(); ++i) {
      if (members[i].required) {
        return std::unexpected(
            de.custom(fmt::format("invalid length {}, expected struct {} with {} elements", *n, record_name, members.size())));
      }
    }
    return {};
  }
  for (size_t i = 0; i < members.size(); ++i) {
    if (members[i].required && !seen[i]) return std::unexpected(de.missing(members[i].name));
  }
  return {};
}

// A member whose value `read` yields and whose slot takes it.
template <class Slot, class Read>
Member member(std::string_view name, bool required, Slot* slot, Read read) {
  return {name, required, [slot, read]() -> JResult<void> {
            auto v = read();
            if (!v) return std::unexpected(v.error());
            *slot = static_cast<Slot>(std::move(*v));
            return {};
          }};
}

Member flag_member(De& de, std::string_view name, bool required, bool* slot) {
  return member(name, required, slot, [&de] { return de.boolean(); });
}

// A unit-variant enum given by name or index.
template <class E>
Member variant_member(De& de, std::string_view name, E* slot, const std::vector<std::string_view>& names) {
  return member(name, false, slot, [&de, &names] { return json_de::variant(de, names); });
}

JResult<TextFieldIndexing> read_indexing(De& de) {
  TextFieldIndexing ix;
  std::vector<Member> m = {
      variant_member(de, "record", &ix.record, kRecordNames),
      flag_member(de, "fieldnorms", false, &ix.fieldnorms),
      member("tokenizer", false, &ix.tokenizer, [&de] { return de.string(); }),
  };
  if (auto r = read_members(de, "TextFieldIndexing", m); !r) return std::unexpected(r.error());
  return ix;
}

JResult<std::optional<TextFieldIndexing>> read_optional_indexing(De& de) {
  if (de.next_is_null()) return std::optional<TextFieldIndexing>();
  auto ix = read_indexing(de);
  if (!ix) return std::unexpected(ix.error());
  return std::optional<TextFieldIndexing>(*ix);
}

JResult<FastFieldTextOptions> read_fast_text(De& de) {
  auto v = de.value();
  if (!v) return std::unexpected(v.error());
  FastFieldTextOptions out;
  if (v->is_bool()) {
    out.enabled = v->as_bool();
    return out;
  }
  if (v->is_object()) {
    if (const auto* name = v->find("with_tokenizer"); name && name->is_string()) {
      out.with_tokenizer = name->as_string();
      return out;
    }
  }
  if (v->is_array() && v->as_array().size() == 1 && v->as_array()[0].is_string()) {
    out.with_tokenizer = v->as_array()[0].as_string();
    return out;
  }
  return std::unexpected(de.custom("data did not match any variant of untagged enum FastFieldTextOptions"));
}

// A flag that may also be null (= absent).
JResult<std::optional<bool>> read_optional_flag(De& de) {
  if (de.next_is_null()) return std::optional<bool>();
  auto v = de.boolean();
  if (!v) return std::unexpected(v.error());
  return std::optional<bool>(*v);
}

Member optional_flag_member(De& de, std::string_view name, std::optional<bool>* slot) {
  return member(name, false, slot, [&de] { return read_optional_flag(de); });
}

Member indexing_member(De& de, std::optional<TextFieldIndexing>* slot) {
  return member("indexing", false, slot, [&de] { return read_optional_indexing(de); });
}

Member fast_text_member(De& de, bool required, FastFieldTextOptions* slot) {
  return member("fast", required, slot, [&de] { return read_fast_text(de); });
}

JResult<FieldType> read_options(De& de, FieldTypeTag tag) {
  switch (tag) {
    case FieldTypeTag::Str: {
      TextOptions o;
      std::vector<Member> m = {
          indexing_member(de, &o.indexing),
          flag_member(de, "stored", false, &o.stored),
          fast_text_member(de, false, &o.fast),
          flag_member(de, "coerce", false, &o.coerce),
      };
      if (auto r = read_members(de, "TextOptions", m); !r) return std::unexpected(r.error());
      return FieldType::str(o);
    }
    case FieldTypeTag::U64:
    case FieldTypeTag::I64:
    case FieldTypeTag::F64:
    case FieldTypeTag::Bool: {
      NumericOptions o;
      std::optional<bool> fieldnorms;
      std::vector<Member> m = {
          flag_member(de, "indexed", true, &o.indexed),
          optional_flag_member(de, "fieldnorms", &fieldnorms),
          flag_member(de, "fast", false, &o.fast),
          flag_member(de, "stored", true, &o.stored),
          flag_member(de, "coerce", false, &o.coerce),
      };
      if (auto r = read_members(de, "NumericOptionsDeser", m); !r) return std::unexpected(r.error());
      o.fieldnorms = fieldnorms.value_or(o.indexed);
      switch (tag) {
        case FieldTypeTag::U64: return FieldType::u64(o);
        case FieldTypeTag::I64: return FieldType::i64(o);
        case FieldTypeTag::F64: return FieldType::f64(o);
        default: return FieldType::boolean(o);
      }
    }
    case FieldTypeTag::Date: {
      DateOptions o;
      std::vector<Member> m = {
          flag_member(de, "indexed", true, &o.indexed),
          flag_member(de, "fieldnorms", true, &o.fieldnorms),
          flag_member(de, "fast", false, &o.fast),
          flag_member(de, "stored", true, &o.stored),
          variant_member(de, "precision", &o.precision, kPrecisionNames),
      };
      if (auto r = read_members(de, "DateOptions", m); !r) return std::unexpected(r.error());
      return FieldType::date(o);
    }
    case FieldTypeTag::Facet: {
      FacetOptions o;
      std::vector<Member> m = {flag_member(de, "stored", true, &o.stored)};
      if (auto r = read_members(de, "FacetOptions", m); !r) return std::unexpected(r.error());
      return FieldType::facet(o);
    }
    case FieldTypeTag::Bytes: {
      BytesOptions o;
      std::optional<bool> fieldnorms;
      std::vector<Member> m = {
          flag_member(de, "indexed", true, &o.indexed),
          optional_flag_member(de, "fieldnorms", &fieldnorms),
          flag_member(de, "fast", true, &o.fast),
          flag_member(de, "stored", true, &o.stored),
      };
      if (auto r = read_members(de, "BytesOptionsDeser", m); !r) return std::unexpected(r.error());
      o.fieldnorms = fieldnorms.value_or(o.indexed);
      return FieldType::bytes(o);
    }
    case FieldTypeTag::JsonObject: {
      JsonObjectOptions o;
      std::vector<Member> m = {
          flag_member(de, "stored", true, &o.stored),
          indexing_member(de, &o.indexing),
          fast_text_member(de, true, &o.fast),
          flag_member(de, "expand_dots_enabled", false, &o.expand_dots_enabled),
      };
      if (auto r = read_members(de, "JsonObjectOptions", m); !r) return std::unexpected(r.error());
      return FieldType::json_object(o);
    }
    case FieldTypeTag::IpAddr: {
      IpAddrOptions o;
      std::vector<Member> m = {
          flag_member(de, "fast", true, &o.fast),
          flag_member(de, "stored", true, &o.stored),
          flag_member(de, "indexed", true, &o.indexed),
          flag_member(de, "fieldnorms", true, &o.fieldnorms),
      };
      if (auto r = read_members(de, "IpAddrOptions", m); !r) return std::unexpected(r.error());
      return FieldType::ip_addr(o);
    }
  }
  return std::unexpected(de.custom("unknown field type"));
}

}  // namespace

JResult<FieldEntry> read_field_entry(De& de) {
  std::optional<std::string> name;
  std::optional<size_t> type;
  std::optional<std::string> options_text;
  auto r = de.record("struct FieldEntry", {"name", "type", "options"}, [&](std::string_view key) -> JResult<bool> {
    if (key == "name") {
      auto v = de.string();
      if (!v) return std::unexpected(v.error());
      name = *v;
      return true;
    }
    if (key == "type") {
      auto v = json_de::variant(de, kTypeNames);
      if (!v) return std::unexpected(v.error());
      type = *v;
      return true;
    }
    if (key == "options") {
      // Kept as text: its meaning depends on "type", which may come later.
      de.peek();
      size_t start = de.reader().position();
      if (auto v = de.skip(); !v) return std::unexpected(v.error());
      options_text = std::string(de.text().substr(start, de.reader().position() - start));
      return true;
    }
    return false;
  });
  if (!r) return std::unexpected(r.error());
  if (de.seq_len()) return std::unexpected(de.custom("invalid type: sequence, expected struct FieldEntry"));
  if (!name) return std::unexpected(de.missing("name"));
  if (!type) return std::unexpected(de.missing("type"));
  if (!options_text) return std::unexpected(de.missing("options"));
  De inner(*options_text);
  auto ft = read_options(inner, static_cast<FieldTypeTag>(*type));
  if (!ft) return std::unexpected(de.custom(ft.error().message));
  return FieldEntry{*name, *ft};
}

JResult<Schema> read_schema(De& de) {
  SchemaBuilder builder;
  auto r = de.sequence([&]() -> JResult<void> {
    auto entry = read_field_entry(de);
    if (!entry) return std::unexpected(entry.error());
    auto added = builder.try_add_field(std::move(*entry));
    if (!added) return std::unexpected(de.custom(added.error().text()));
    return {};
  });
  if (!r) return std::unexpected(r.error());
  return builder.build();
}

}  // namespace fendral::schema
