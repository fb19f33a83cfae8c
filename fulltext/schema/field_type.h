// Field types and their options records. Flags are plain booleans; member
// order is declaration order (also the order of their debug output).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace fendral::schema {

enum class RecordOption : uint8_t { Basic = 0, WithFreqs = 1, WithFreqsAndPositions = 2 };

enum class DateResolution : uint8_t { Seconds = 0, Milliseconds = 1, Microseconds = 2, Nanoseconds = 3 };

struct TextFieldIndexing {
  RecordOption record = RecordOption::Basic;
  bool fieldnorms = true;
  std::string tokenizer = "default";
  bool operator==(const TextFieldIndexing&) const = default;
};

// IsEnabled(flag) or EnabledWithTokenizer(name).
struct FastFieldTextOptions {
  bool enabled = false;
  std::optional<std::string> with_tokenizer;  // set for EnabledWithTokenizer
  bool is_enabled() const { return enabled || with_tokenizer.has_value(); }
  bool operator==(const FastFieldTextOptions&) const = default;
};

struct TextOptions {
  std::optional<TextFieldIndexing> indexing;
  bool stored = false;
  FastFieldTextOptions fast;
  bool coerce = false;
  bool operator==(const TextOptions&) const = default;
};

struct NumericOptions {
  bool indexed = false;
  bool fieldnorms = false;
  bool fast = false;
  bool stored = false;
  bool coerce = false;
  bool operator==(const NumericOptions&) const = default;
};

struct DateOptions {
  bool indexed = false;
  bool fieldnorms = false;
  bool fast = false;
  bool stored = false;
  DateResolution precision = DateResolution::Seconds;
  bool operator==(const DateOptions&) const = default;
};

struct FacetOptions {
  bool stored = false;
  bool operator==(const FacetOptions&) const = default;
};

struct BytesOptions {
  bool indexed = false;
  bool fieldnorms = false;
  bool fast = false;
  bool stored = false;
  bool operator==(const BytesOptions&) const = default;
};

struct JsonObjectOptions {
  bool stored = false;
  std::optional<TextFieldIndexing> indexing;
  FastFieldTextOptions fast;
  bool expand_dots_enabled = false;
  bool operator==(const JsonObjectOptions&) const = default;
};

struct IpAddrOptions {
  bool fast = false;
  bool stored = false;
  bool indexed = false;
  bool fieldnorms = false;
  bool operator==(const IpAddrOptions&) const = default;
};

// Tags in order: Str, U64, I64, F64, Bool, Date, Facet, Bytes, JsonObject, IpAddr.
enum class FieldTypeTag : uint8_t { Str, U64, I64, F64, Bool, Date, Facet, Bytes, JsonObject, IpAddr };

class FieldType {
 public:
  using Options = std::variant<TextOptions, NumericOptions, NumericOptions, NumericOptions, NumericOptions, DateOptions,
                               FacetOptions, BytesOptions, JsonObjectOptions, IpAddrOptions>;

  static FieldType str(TextOptions o) { return FieldType(Options(std::in_place_index<0>, std::move(o))); }
  static FieldType u64(NumericOptions o) { return FieldType(Options(std::in_place_index<1>, o)); }
  static FieldType i64(NumericOptions o) { return FieldType(Options(std::in_place_index<2>, o)); }
  static FieldType f64(NumericOptions o) { return FieldType(Options(std::in_place_index<3>, o)); }
  static FieldType boolean(NumericOptions o) { return FieldType(Options(std::in_place_index<4>, o)); }
  static FieldType date(DateOptions o) { return FieldType(Options(std::in_place_index<5>, o)); }
  static FieldType facet(FacetOptions o) { return FieldType(Options(std::in_place_index<6>, o)); }
  static FieldType bytes(BytesOptions o) { return FieldType(Options(std::in_place_index<7>, o)); }
  static FieldType json_object(JsonObjectOptions o) { return FieldType(Options(std::in_place_index<8>, std::move(o))); }
  static FieldType ip_addr(IpAddrOptions o) { return FieldType(Options(std::in_place_index<9>, o)); }

  FieldTypeTag tag() const { return static_cast<FieldTypeTag>(options_.index()); }
  const Options& options() const { return options_; }
  // 's','u','i','f','o','d','h','b','j','p'
  char value_type_code() const { return "suifodhbjp"[options_.index()]; }
  // "text", "u64", ..., "ip_addr"
  std::string_view json_name() const;

  bool is_indexed() const;
  bool is_fast() const;
  bool has_fieldnorms() const;
  bool is_stored() const;
  // Indexing record of text and JSON fields.
  const TextFieldIndexing* text_indexing() const;
  const NumericOptions* numeric_options() const;

  bool operator==(const FieldType&) const = default;

 private:
  explicit FieldType(Options o) : options_(std::move(o)) {}
  Options options_;
};

std::string_view field_type_json_name(FieldTypeTag tag);

}  // namespace fendral::schema
