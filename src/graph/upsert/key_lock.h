// The process-wide registry of business-key mutexes. Upserts and deletes of
// the same (label, key, value) serialise on one mutex, across every database
// open in the process; entries are never removed.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "storage/property_value.h"

namespace zudizid::graph::upsert {

// label, 0xFF, key name, 0xFF, debug rendering of the value, 0xFF: so the
// integer 1, the float 1.0 and the text "1" are three different keys.
std::string business_key_bytes(std::string_view label, std::string_view key, const PropertyValue& value);

// The one mutex for that business key. The registry is keyed by the whole
// byte stream, so distinct keys never share a mutex.
std::shared_ptr<std::mutex> key_lock(std::string_view label, std::string_view key, const PropertyValue& value);

}  // namespace zudizid::graph::upsert
