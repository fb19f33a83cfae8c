// Which log implementation engine start uses. Until the persistent log is
// plugged in, the in-process stand-in serves every engine.
#include <atomic>

#include "kv/pagecache/log_api.h"
#include "kv/pagecache/standin_log.h"

namespace kelm::pagecache {

namespace {
std::atomic<LogBackend*> g_backend{nullptr};
}

LogBackend& log_backend() {
  if (LogBackend* b = g_backend.load(std::memory_order_acquire)) return *b;
  return standin::backend();
}

void set_log_backend(LogBackend* backend) { g_backend.store(backend, std::memory_order_release); }

}  // namespace kelm::pagecache
