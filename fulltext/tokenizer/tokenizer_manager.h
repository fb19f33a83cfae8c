// The registry of analyzers by name. Copies of a manager share one map.
#pragma once

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "fulltext/tokenizer/token.h"

namespace fendral::tokenizer {

class TokenizerManager {
 public:
  // "raw", "default", "en_stem" and "whitespace".
  static TokenizerManager default_manager();

  void register_analyzer(const std::string& name, TextAnalyzer analyzer);
  // An independent copy of the analyzer registered under exactly `name`.
  std::optional<TextAnalyzer> get(std::string_view name) const;

 private:
  struct State {
    mutable std::shared_mutex mu;
    std::unordered_map<std::string, TextAnalyzer> analyzers;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace fendral::tokenizer
