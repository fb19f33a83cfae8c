#include "fulltext/tokenizer/tokenizer_manager.h"

#include <mutex>

namespace fendral::tokenizer {

TokenizerManager TokenizerManager::default_manager() {
  TokenizerManager m;
  m.register_analyzer("raw", raw_analyzer());
  m.register_analyzer("default", simple_analyzer(40, true, false));
  m.register_analyzer("en_stem", simple_analyzer(40, true, true));
  m.register_analyzer("whitespace", whitespace_analyzer());
  return m;
}

void TokenizerManager::register_analyzer(const std::string& name, TextAnalyzer analyzer) {
  std::unique_lock lock(state_->mu);
  state_->analyzers.insert_or_assign(name, std::move(analyzer));
}

std::optional<TextAnalyzer> TokenizerManager::get(std::string_view name) const {
  std::shared_lock lock(state_->mu);
  auto it = state_->analyzers.find(std::string(name));
  if (it == state_->analyzers.end()) return std::nullopt;
  return it->second;  // box_clone
}

}  // namespace fendral::tokenizer
