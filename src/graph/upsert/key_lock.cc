#include "graph/upsert/key_lock.h"

#include <unordered_map>

namespace zudizid::graph::upsert {

std::string business_key_bytes(std::string_view label, std::string_view key, const PropertyValue& value) {
  std::string out;
  out.append(label);
  out.push_back('\xFF');
  out.append(key);
  out.push_back('\xFF');
  value.fmt_debug(out);
  out.push_back('\xFF');
  return out;
}

std::shared_ptr<std::mutex> key_lock(std::string_view label, std::string_view key, const PropertyValue& value) {
  // Leaked on purpose: lives until the process ends, no exit-order hazard.
  static auto* registry = new std::unordered_map<std::string, std::shared_ptr<std::mutex>>();
  static auto* registry_mu = new std::mutex();
  std::string bytes = business_key_bytes(label, key, value);
  std::lock_guard g(*registry_mu);
  auto [it, inserted] = registry->try_emplace(std::move(bytes));
  if (inserted) it->second = std::make_shared<std::mutex>();
  return it->second;
}

}  // namespace zudizid::graph::upsert
