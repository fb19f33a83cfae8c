#include "fulltext/schema/facet.h"

namespace fendral::schema {

std::expected<Facet, FacetParseError> Facet::from_text(std::string_view text) {
  if (text.empty() || text[0] != '/') return std::unexpected(FacetParseError{std::string(text)});
  std::string encoded;
  bool escaped = false;
  for (char c : text.substr(1)) {
    if (escaped) {
      encoded.push_back(c);
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '/') {
      encoded.push_back(kFacetSep);
    } else {
      encoded.push_back(c);
    }
  }
  return Facet::from_encoded(std::move(encoded));
}

std::string facet_text_form(std::string_view encoded) {
  if (encoded.empty()) return "/";
  std::string out;
  size_t i = 0;
  while (true) {
    size_t j = encoded.find(kFacetSep, i);
    std::string_view seg = encoded.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i);
    out.push_back('/');
    for (char c : seg) {
      if (c == '/' || c == '\\') {
        out += "\\/";
      } else {
        out.push_back(c);
      }
    }
    if (j == std::string_view::npos) break;
    i = j + 1;
  }
  return out;
}

std::string Facet::to_text() const { return facet_text_form(encoded_); }

}  // namespace fendral::schema
