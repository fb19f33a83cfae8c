// Leveled logging facade.
//
// Records carry a level and a module target such as "zudizid::wal" or
// "kelm::pagecache". Nothing is installed by default, so every record is
// discarded; a host (or a test) installs a sink. `enabled` is one relaxed
// atomic load when no sink is installed, so call sites check it before they
// format anything -- the ZLOG macro does exactly that.
#pragma once

#include <fmt/format.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zudizid::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

std::string_view level_name(Level level);

struct Record {
  Level level;
  std::string target;
  std::string message;
};

// A sink receives every record at or below its maximum level. It must be
// thread-safe: records arrive from any thread.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Record& record) = 0;
};

// Installs `sink` (replacing any previous one) with the most verbose level it
// wants; nullptr uninstalls. Safe to call while other threads log.
void set_sink(std::shared_ptr<Sink> sink, Level max_level);

// The most verbose level any record is currently kept at.
Level max_level();

inline bool enabled(Level level) {
  extern std::atomic<int> g_max_level;
  return static_cast<int>(level) <= g_max_level.load(std::memory_order_relaxed);
}

void write(Level level, std::string_view target, std::string message);

// Captures records in memory; for tests.
class CaptureSink final : public Sink {
 public:
  void write(const Record& record) override;
  std::vector<Record> records() const;
  void clear();

 private:
  mutable std::mutex mu_;
  std::vector<Record> records_;
};

// Installs a CaptureSink for the lifetime of the object (tests).
class ScopedCapture {
 public:
  explicit ScopedCapture(Level max = Level::Trace);
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  std::vector<Record> records() const { return sink_->records(); }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace zudizid::log

// ZLOG(Debug, "zudizid::wal", "opened {} frames", n)
#define ZLOG(level, target, ...)                                                       \
  do {                                                                                 \
    if (::zudizid::log::enabled(::zudizid::log::Level::level))                         \
      ::zudizid::log::write(::zudizid::log::Level::level, (target), fmt::format(__VA_ARGS__)); \
  } while (0)
