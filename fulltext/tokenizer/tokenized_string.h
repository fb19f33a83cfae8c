// Pre-tokenized strings: a text with tokens produced outside the engine,
// kept inside documents as compact JSON and replayed as a token stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fulltext/tokenizer/token.h"

namespace fendral::tokenizer {

struct PreTokenizedString {
  std::string text;
  std::vector<Token> tokens;

  // {"text":..,"tokens":[{"offset_from":..,"offset_to":..,"position":..,
  // "text":..,"position_length":..},...]} without any whitespace.
  std::string to_json() const;
  // Object or array forms; every malformed text is one failure (nullopt).
  static std::optional<PreTokenizedString> from_json(std::string_view text);
  bool operator==(const PreTokenizedString&) const = default;
};

// Replays the tokens as they are stored.
class PreTokenizedStream final : public TokenStream {
 public:
  explicit PreTokenizedStream(PreTokenizedString s) : s_(std::move(s)) {}
  bool advance() override {
    ++current_;
    return current_ < static_cast<int64_t>(s_.tokens.size());
  }
  // Contract: after an advance that found a token.
  const Token& token() const override { return s_.tokens[checked()]; }
  Token& token_mut() override { return s_.tokens[checked()]; }

 private:
  size_t checked() const;
  PreTokenizedString s_;
  int64_t current_ = -1;
};

}  // namespace fendral::tokenizer
