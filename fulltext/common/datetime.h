// RFC 3339 date-times as i64 nanoseconds since the Unix epoch (UTC).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fendral {

// "1970-01-01T00:00:01.5Z": seconds always, a fraction with trailing zeros
// removed when the nanoseconds are not zero.
std::string format_rfc3339(int64_t nanos);

// Parses "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)" (T/t, Z/z) and
// converts to UTC. nullopt for anything else, including instants whose
// nanosecond count does not fit an i64.
std::optional<int64_t> parse_rfc3339(std::string_view text);


}  // namespace fendral
