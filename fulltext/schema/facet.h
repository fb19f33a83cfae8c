// Facets: hierarchical paths held in their encoded form, segments joined by
// 0x00; the root facet is the empty text. Text form: "/a/b", with '/' and
// '\' escaped by a backslash inside segments.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace fendral::schema {

constexpr char kFacetSep = '\x00';

struct FacetParseError {
  std::string text;
  std::string display() const { return "Failed to parse the facet string: '" + text + "'"; }
};

class Facet {
 public:
  Facet() = default;
  static Facet from_encoded(std::string encoded) {
    Facet f;
    f.encoded_ = std::move(encoded);
    return f;
  }
  static std::expected<Facet, FacetParseError> from_text(std::string_view text);

  const std::string& encoded() const { return encoded_; }
  bool is_root() const { return encoded_.empty(); }
  std::string to_text() const;
  bool operator==(const Facet&) const = default;

 private:
  std::string encoded_;
};

// The text form of an encoded facet.
std::string facet_text_form(std::string_view encoded);

}  // namespace fendral::schema
