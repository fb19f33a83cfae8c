// Tokens, token streams and tokenizers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fendral::tokenizer {

struct Token {
  uint64_t offset_from = 0;
  uint64_t offset_to = 0;
  uint64_t position = UINT64_MAX;
  std::string text;
  uint64_t position_length = 1;

  // The state a tokenizer sets when it opens a stream (text storage kept).
  void reset() {
    offset_from = 0;
    offset_to = 0;
    position = UINT64_MAX;
    text.clear();
    position_length = 1;
  }
  bool operator==(const Token&) const = default;
};

class TokenStream {
 public:
  virtual ~TokenStream() = default;
  virtual bool advance() = 0;
  virtual const Token& token() const = 0;
  virtual Token& token_mut() = 0;
  // The current token after a successful advance, or nullptr.
  Token* next() { return advance() ? &token_mut() : nullptr; }
  void process(const std::function<void(const Token&)>& sink) {
    while (advance()) sink(token());
  }
};

class BoxableTokenizer {
 public:
  virtual ~BoxableTokenizer() = default;
  // Resets the tokenizer's token and opens a stream over `text`, which must
  // outlive the stream; the previous stream of this tokenizer is invalid.
  virtual std::unique_ptr<TokenStream> box_token_stream(std::string_view text) = 0;
  virtual std::unique_ptr<BoxableTokenizer> box_clone() const = 0;
};

// An owning handle on one tokenizer chain; copies are independent.
class TextAnalyzer {
 public:
  explicit TextAnalyzer(std::unique_ptr<BoxableTokenizer> t) : tokenizer_(std::move(t)) {}
  TextAnalyzer(const TextAnalyzer& o) : tokenizer_(o.tokenizer_->box_clone()) {}
  TextAnalyzer& operator=(const TextAnalyzer& o) {
    tokenizer_ = o.tokenizer_->box_clone();
    return *this;
  }
  TextAnalyzer(TextAnalyzer&&) noexcept = default;
  TextAnalyzer& operator=(TextAnalyzer&&) noexcept = default;

  std::unique_ptr<TokenStream> token_stream(std::string_view text) { return tokenizer_->box_token_stream(text); }

 private:
  std::unique_ptr<BoxableTokenizer> tokenizer_;
};

// The built-in analyzers.
TextAnalyzer raw_analyzer();
TextAnalyzer whitespace_analyzer();
// Simple tokenizer, tokens of 40 bytes or more dropped, lower-cased, and
// optionally stemmed with the Snowball English stemmer.
TextAnalyzer simple_analyzer(size_t long_token_limit, bool lower_case, bool stem_english);

// Tokens of a facet's encoded form: the root, each ancestor, the facet.
class FacetTokenizer {
 public:
  std::unique_ptr<TokenStream> token_stream(std::string_view encoded);

 private:
  Token token_;
};

}  // namespace fendral::tokenizer
