// Helpers for engine tests: a fresh database directory per test.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "kv/config/config.h"
#include "kv/db.h"
#include "kv/pagecache/standin_log.h"

namespace kelm::testing {

inline std::filesystem::path fresh_dir(const std::string& tag) {
  static std::atomic<int> n{0};
  auto p = std::filesystem::temp_directory_path() /
           ("kelm_test_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(n++));
  std::filesystem::remove_all(p);
  pagecache::standin::forget(p);
  return p;
}

// A configuration on `dir` without a background flusher.
inline config::Config config_for(const std::filesystem::path& dir) {
  config::Config c;
  c.path(dir).flush_every_ms(std::nullopt);
  return c;
}

inline Db open_or_die(const config::Config& c) {
  auto db = c.open();
  if (!db) throw std::runtime_error("open failed: " + db.error().display());
  return std::move(*db);
}

inline std::string str(const IVec& v) { return std::string(v.view()); }

}  // namespace kelm::testing
