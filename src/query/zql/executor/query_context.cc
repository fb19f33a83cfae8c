#include "query/zql/executor/query_context.h"

#include <utility>

namespace zudizid::query::zql::executor {

PropertyValue PathProfile::to_value() const {
  auto entry = [](const char* name, uint64_t v) {
    return std::pair<std::string, PropertyValue>(name, PropertyValue::integer(static_cast<int64_t>(v)));
  };
  PropertyObject o;
  o.push_back(entry("bindings_examined", bindings_examined));
  o.push_back(entry("bindings_emitted", bindings_emitted));
  o.push_back(entry("frontier_states_visited", frontier_states_visited));
  o.push_back(entry("cycle_prunes", cycle_prunes));
  o.push_back(entry("max_depth_observed", max_depth_observed));
  return PropertyValue::object(std::move(o));
}

std::optional<PropertyValue> PathProfile::metrics(QueryContext& context) {
  std::optional<PathProfile> taken;
  {
    std::lock_guard lock(context.path_profile_mu);
    taken = std::exchange(context.path_profile, std::nullopt);
  }
  if (!taken) return std::nullopt;
  return taken->to_value();
}

}  // namespace zudizid::query::zql::executor
