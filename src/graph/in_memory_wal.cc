#include "graph/in_memory_wal.h"

#include <system_error>

#include "common/log.h"

namespace zudizid::graph {

TemporaryWalFile::~TemporaryWalFile() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
  if (ec) ZLOG(Warn, "zudizid::graph", "Failed to remove temporary WAL {}: {}", path_.string(), ec.message());
}

}  // namespace zudizid::graph
