#include "graph/in_memory_wal.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "common/log.h"

namespace zudizid::graph {

namespace {

void remove_file(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) ZLOG(Warn, "zudizid::graph", "Failed to remove temporary WAL {}: {}", path.string(), ec.message());
}

// The logs whose owners are alive, each with the process that created it.
// Never destroyed: the exit handler may run after static destructors.
struct LiveLogs {
  std::mutex mu;
  std::unordered_map<std::string, pid_t> owners;  // guarded by mu
};

void remove_live_logs_at_exit();

LiveLogs& live_logs() {
  static LiveLogs* logs = [] {
    auto* made = new LiveLogs;
    std::atexit(remove_live_logs_at_exit);
    return made;
  }();
  return *logs;
}

void remove_live_logs_at_exit() {
  LiveLogs& logs = live_logs();
  std::lock_guard lock(logs.mu);
  const pid_t self = ::getpid();
  for (const auto& [path, owner] : logs.owners) {
    if (owner != self) continue;
    std::error_code ec;
    std::filesystem::remove(path, ec);  // no logging this late in the exit
  }
  logs.owners.clear();
}

}  // namespace

TemporaryWalFile::TemporaryWalFile(std::filesystem::path path) : path_(std::move(path)) {
  LiveLogs& logs = live_logs();
  std::lock_guard lock(logs.mu);
  logs.owners.insert_or_assign(path_.string(), ::getpid());
}

TemporaryWalFile::~TemporaryWalFile() {
  LiveLogs& logs = live_logs();
  {
    std::lock_guard lock(logs.mu);
    auto it = logs.owners.find(path_.string());
    // Gone from the table: removed at exit already, or not this process's.
    if (it == logs.owners.end() || it->second != ::getpid()) return;
    logs.owners.erase(it);
  }
  remove_file(path_);
}

}  // namespace zudizid::graph
