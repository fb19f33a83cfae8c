#include "fulltext/query/automaton_weight.h"

namespace fendral::query {

FendralError dictionary_walk_error(const fst::Error& e) {
  return FendralError::data_corruption(std::nullopt, "Fst data is corrupted: " + e.display());
}

std::optional<std::vector<uint8_t>> prefix_end(std::span<const uint8_t> prefix) {
  std::vector<uint8_t> end(prefix.begin(), prefix.end());
  while (!end.empty() && end.back() == 0xFF) end.pop_back();
  if (end.empty()) return std::nullopt;
  end.back() += 1;
  return end;
}

}  // namespace fendral::query
