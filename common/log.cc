#include "common/log.h"

#include <mutex>

namespace zudizid::log {

std::atomic<int> g_max_level{static_cast<int>(Level::Off)};

namespace {

std::mutex g_sink_mu;
std::shared_ptr<Sink> g_sink;  // guarded by g_sink_mu

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Off: return "OFF";
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "?";
}

void set_sink(std::shared_ptr<Sink> sink, Level max_level) {
  std::lock_guard lock(g_sink_mu);
  g_sink = std::move(sink);
  g_max_level.store(g_sink ? static_cast<int>(max_level) : static_cast<int>(Level::Off), std::memory_order_relaxed);
}

Level max_level() { return static_cast<Level>(g_max_level.load(std::memory_order_relaxed)); }

void write(Level level, std::string_view target, std::string message) {
  std::shared_ptr<Sink> sink;
  {
    std::lock_guard lock(g_sink_mu);
    sink = g_sink;
  }
  if (!sink || !enabled(level)) return;
  sink->write(Record{level, std::string(target), std::move(message)});
}

void CaptureSink::write(const Record& record) {
  std::lock_guard lock(mu_);
  records_.push_back(record);
}

std::vector<Record> CaptureSink::records() const {
  std::lock_guard lock(mu_);
  return records_;
}

void CaptureSink::clear() {
  std::lock_guard lock(mu_);
  records_.clear();
}

ScopedCapture::ScopedCapture(Level max) : sink_(std::make_shared<CaptureSink>()) { set_sink(sink_, max); }

ScopedCapture::~ScopedCapture() { set_sink(nullptr, Level::Off); }

}  // namespace zudizid::log
