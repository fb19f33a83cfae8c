// Helpers for engine tests: a fresh database directory per test.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kv/config/config.h"
#include "kv/db.h"
#include "tests/support/standin_log.h"

namespace kelm::testing {

// Directories made by fresh_dir, removed when the process that made them
// exits (a forked child that exits leaves its parent's directories alone).
struct FreshDirs {
  pid_t owner = getpid();
  std::mutex mu;
  std::vector<std::filesystem::path> made;
  ~FreshDirs() {
    if (getpid() != owner) return;
    std::error_code ec;
    for (const auto& p : made) std::filesystem::remove_all(p, ec);
  }
};

inline std::filesystem::path fresh_dir(const std::string& tag) {
  static std::atomic<int> n{0};
  static FreshDirs dirs;
  auto p = std::filesystem::temp_directory_path() /
           ("kelm_test_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(n++));
  std::filesystem::remove_all(p);
  pagecache::standin::forget(p);
  std::lock_guard lock(dirs.mu);
  dirs.made.push_back(p);
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

// The same on the in-process stand-in log, for tests that need its hooks
// (injected faults, simulated crashes).
inline config::Config standin_config_for(const std::filesystem::path& dir) {
  config::Config c = config_for(dir);
  c.log_backend(pagecache::standin::backend());
  return c;
}

inline std::string str(const IVec& v) { return std::string(v.view()); }

// The counter store's number: the first min(len, 8) bytes, big-endian.
inline uint64_t be64(const std::optional<IVec>& v) {
  if (!v) return 0;
  uint8_t b[8] = {};
  size_t n = std::min<size_t>(8, v->size());
  std::memcpy(b + (8 - n), v->data(), n);
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) x = (x << 8) | b[i];
  return x;
}

inline IVec be64_ivec(uint64_t x) {
  uint8_t b[8];
  for (int i = 7; i >= 0; --i) {
    b[i] = static_cast<uint8_t>(x);
    x >>= 8;
  }
  return IVec::from_slice(std::span<const uint8_t>(b, 8));
}


}  // namespace kelm::testing
