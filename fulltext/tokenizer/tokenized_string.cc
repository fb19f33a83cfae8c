#include "fulltext/tokenizer/tokenized_string.h"

#include "common/json.h"
#include "fulltext/common/json_de.h"
#include "fulltext/error/error.h"

namespace fendral::tokenizer {

namespace json = zudizid::common::json;
using json_de::De;
template <class T>
using JResult = json_de::Result<T>;

size_t PreTokenizedStream::checked() const {
  if (current_ < 0) contract_violation("TokenStream not initialized. You should call advance() at least once.");
  if (static_cast<size_t>(current_) >= s_.tokens.size()) contract_violation("index out of bounds: the stream is exhausted");
  return static_cast<size_t>(current_);
}

std::string PreTokenizedString::to_json() const {
  std::string out;
  json::Writer w(out);
  w.begin_object();
  w.key("text");
  w.string(text);
  w.key("tokens");
  w.begin_array();
  for (const auto& t : tokens) {
    w.begin_object();
    w.key("offset_from");
    w.uint64(t.offset_from);
    w.key("offset_to");
    w.uint64(t.offset_to);
    w.key("position");
    w.uint64(t.position);
    w.key("text");
    w.string(t.text);
    w.key("position_length");
    w.uint64(t.position_length);
    w.end_object();
  }
  w.end_array();
  w.end_object();
  return out;
}

namespace {

JResult<Token> read_token(De& de) {
  Token t;
  bool seen[5] = {};
  static const std::vector<std::string_view> kFields = {"offset_from", "offset_to", "position", "text",
                                                        "position_length"};
  auto r = de.record("struct Token", kFields, [&](std::string_view key) -> JResult<bool> {
    for (size_t i = 0; i < 5; ++i) {
      if (key != kFields[i]) continue;
      seen[i] = true;
      if (i == 3) {
        auto s = de.string();
        if (!s) return std::unexpected(s.error());
        t.text = *s;
      } else {
        auto n = de.u64();
        if (!n) return std::unexpected(n.error());
        (i == 0 ? t.offset_from : i == 1 ? t.offset_to : i == 2 ? t.position : t.position_length) = *n;
      }
      return true;
    }
    return false;
  });
  if (!r) return std::unexpected(r.error());
  for (size_t i = 0; i < 5; ++i) {
    if (!seen[i]) return std::unexpected(de.missing(kFields[i]));
  }
  return t;
}

JResult<std::vector<Token>> read_tokens(De& de) {
  std::vector<Token> out;
  auto r = de.sequence([&]() -> JResult<void> {
    auto t = read_token(de);
    if (!t) return std::unexpected(t.error());
    out.push_back(std::move(*t));
    return {};
  });
  if (!r) return std::unexpected(r.error());
  return out;
}

}  // namespace

std::optional<PreTokenizedString> PreTokenizedString::from_json(std::string_view text) {
  De de(text);
  PreTokenizedString s;
  bool has_text = false, has_tokens = false;
  auto r = de.record("struct PreTokenizedString", {"text", "tokens"}, [&](std::string_view key) -> JResult<bool> {
    if (key == "text") {
      auto v = de.string();
      if (!v) return std::unexpected(v.error());
      s.text = *v;
      has_text = true;
      return true;
    }
    if (key == "tokens") {
      auto v = read_tokens(de);
      if (!v) return std::unexpected(v.error());
      s.tokens = std::move(*v);
      has_tokens = true;
      return true;
    }
    return false;
  });
  if (!r || !has_text || !has_tokens || !de.finish()) return std::nullopt;
  return s;
}

}  // namespace fendral::tokenizer
