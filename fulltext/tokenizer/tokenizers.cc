#include <libstemmer.h>

#include <cstring>

#include "fulltext/common/utf8.h"
#include "fulltext/tokenizer/token.h"
#include "fulltext/tokenizer/unicode_tables.h"

namespace fendral::tokenizer {

namespace {

// ---- raw ---------------------------------------------------------------------

class RawStream final : public TokenStream {
 public:
  explicit RawStream(Token* t) : token_(t) {}
  bool advance() override {
    bool r = pending_;
    pending_ = false;
    return r;
  }
  const Token& token() const override { return *token_; }
  Token& token_mut() override { return *token_; }

 private:
  Token* token_;
  bool pending_ = true;
};

class RawTokenizer final : public BoxableTokenizer {
 public:
  std::unique_ptr<TokenStream> box_token_stream(std::string_view text) override {
    token_.reset();
    token_.offset_from = 0;
    token_.offset_to = text.size();
    token_.position = 0;
    token_.position_length = 1;
    token_.text.assign(text);
    return std::make_unique<RawStream>(&token_);
  }
  std::unique_ptr<BoxableTokenizer> box_clone() const override { return std::make_unique<RawTokenizer>(); }

 private:
  Token token_;
};

// ---- character-class tokenizers -------------------------------------------------

bool is_ascii_whitespace(uint32_t cp) { return cp == ' ' || cp == '\t' || cp == '\n' || cp == '\f' || cp == '\r'; }

// Cuts `text` into runs of token characters; separators belong to no token.
template <bool kWhitespace>
class CharClassStream : public TokenStream {
 public:
  CharClassStream(std::string_view text, Token* token) : text_(text), token_(token) {}
  bool advance() override {
    token_->text.clear();
    token_->position += 1;
    uint32_t cp;
    while (true) {
      if (pos_ >= text_.size()) return false;
      size_t n = decode_utf8(text_, pos_, &cp);
      if (is_token_char(cp)) break;
      pos_ += n;
    }
    token_->offset_from = pos_;
    while (pos_ < text_.size()) {
      size_t n = decode_utf8(text_, pos_, &cp);
      if (!is_token_char(cp)) {
        token_->offset_to = pos_;
        pos_ += n;
        token_->text.assign(text_.substr(token_->offset_from, token_->offset_to - token_->offset_from));
        return true;
      }
      pos_ += n;
    }
    token_->offset_to = text_.size();
    token_->text.assign(text_.substr(token_->offset_from));
    return true;
  }
  const Token& token() const override { return *token_; }
  Token& token_mut() override { return *token_; }

 private:
  static bool is_token_char(uint32_t cp) {
    if constexpr (kWhitespace) {
      return !is_ascii_whitespace(cp);
    } else {
      // ASCII first: its alphanumerics are exactly 0-9, A-Z and a-z.
      if (cp < 0x80) return (cp - '0' < 10) || ((cp | 0x20) - 'a' < 26);
      return unicode::is_alphanumeric(cp);
    }
  }
  std::string_view text_;
  size_t pos_ = 0;
  Token* token_;
};

class WhitespaceTokenizer final : public BoxableTokenizer {
 public:
  std::unique_ptr<TokenStream> box_token_stream(std::string_view text) override {
    token_.reset();
    return std::make_unique<CharClassStream<true>>(text, &token_);
  }
  std::unique_ptr<BoxableTokenizer> box_clone() const override { return std::make_unique<WhitespaceTokenizer>(); }

 private:
  Token token_;
};

// ---- the simple chain with its filters -----------------------------------------

struct StemmerDeleter {
  void operator()(sb_stemmer* s) const { sb_stemmer_delete(s); }
};

bool is_ascii(std::string_view s) {
  size_t i = 0;
  // Eight bytes at a time, then single bytes.
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (w & 0x8080808080808080ull) return false;
  }
  for (; i < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
  }
  return true;
}

class SimpleChainStream final : public TokenStream {
 public:
  SimpleChainStream(std::string_view text, Token* token, size_t limit, std::string* lower_buffer, sb_stemmer* stemmer)
      : inner_(text, token), token_(token), limit_(limit), lower_buffer_(lower_buffer), stemmer_(stemmer) {}

  bool advance() override {
    while (true) {
      if (!inner_.advance()) return false;
      if (token_->text.size() < limit_) break;
    }
    if (lower_buffer_) lower_case();
    if (stemmer_) stem();
    return true;
  }
  const Token& token() const override { return *token_; }
  Token& token_mut() override { return *token_; }

 private:
  void lower_case() {
    std::string& text = token_->text;
    if (is_ascii(text)) {
      for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
      }
      return;
    }
    lower_buffer_->clear();
    lower_buffer_->reserve(std::max<size_t>(50, text.size()));
    for (size_t i = 0; i < text.size();) {
      uint32_t cp;
      i += decode_utf8(text, i, &cp);
      uint32_t mapped[3];
      size_t n = unicode::to_lower(cp, mapped);
      for (size_t k = 0; k < n; ++k) append_utf8(*lower_buffer_, mapped[k]);
    }
    std::swap(*lower_buffer_, text);
  }

  void stem() {
    std::string& text = token_->text;
    const sb_symbol* out =
        sb_stemmer_stem(stemmer_, reinterpret_cast<const sb_symbol*>(text.data()), static_cast<int>(text.size()));
    if (!out) return;  // out of memory inside the stemmer: keep the word
    int len = sb_stemmer_length(stemmer_);
    stem_buffer_.assign(reinterpret_cast<const char*>(out), static_cast<size_t>(len));
    std::swap(stem_buffer_, text);
  }

  CharClassStream<false> inner_;
  Token* token_;
  size_t limit_;
  std::string* lower_buffer_;
  sb_stemmer* stemmer_;
  std::string stem_buffer_;
};

class SimpleChainTokenizer final : public BoxableTokenizer {
 public:
  SimpleChainTokenizer(size_t limit, bool lower_case, bool stem)
      : limit_(limit), lower_case_(lower_case), stem_(stem) {}

  std::unique_ptr<TokenStream> box_token_stream(std::string_view text) override {
    token_.reset();
    lower_buffer_.clear();
    if (stem_ && !stemmer_) stemmer_.reset(sb_stemmer_new("english", "UTF_8"));
    return std::make_unique<SimpleChainStream>(text, &token_, limit_, lower_case_ ? &lower_buffer_ : nullptr,
                                               stemmer_.get());
  }
  std::unique_ptr<BoxableTokenizer> box_clone() const override {
    return std::make_unique<SimpleChainTokenizer>(limit_, lower_case_, stem_);
  }

 private:
  Token token_;
  size_t limit_;
  bool lower_case_;
  bool stem_;
  std::string lower_buffer_;
  std::unique_ptr<sb_stemmer, StemmerDeleter> stemmer_;
};

// ---- facets ----------------------------------------------------------------------

class FacetStream final : public TokenStream {
 public:
  FacetStream(std::string_view text, Token* token) : text_(text), token_(token) {}
  bool advance() override {
    switch (state_) {
      case State::RootPending:
        state_ = text_.empty() ? State::Finished : State::Emitting;
        return true;
      case State::Emitting: {
        size_t r = text_.find('\0', p_ + 1);
        if (r != std::string_view::npos) {
          token_->text.append(text_.substr(p_, r - p_));
          p_ = r;
        } else {
          token_->text.append(text_.substr(p_));
          state_ = State::Finished;
        }
        return true;
      }
      case State::Finished: return false;
    }
    return false;
  }
  const Token& token() const override { return *token_; }
  Token& token_mut() override { return *token_; }

 private:
  enum class State { RootPending, Emitting, Finished };
  std::string_view text_;
  Token* token_;
  State state_ = State::RootPending;
  size_t p_ = 0;
};

}  // namespace

std::unique_ptr<TokenStream> FacetTokenizer::token_stream(std::string_view encoded) {
  token_.reset();
  token_.position = 0;
  return std::make_unique<FacetStream>(encoded, &token_);
}

TextAnalyzer raw_analyzer() { return TextAnalyzer(std::make_unique<RawTokenizer>()); }
TextAnalyzer whitespace_analyzer() { return TextAnalyzer(std::make_unique<WhitespaceTokenizer>()); }
TextAnalyzer simple_analyzer(size_t long_token_limit, bool lower_case, bool stem_english) {
  return TextAnalyzer(std::make_unique<SimpleChainTokenizer>(long_token_limit, lower_case, stem_english));
}

}  // namespace fendral::tokenizer
