// Which log implementation engine start uses: the persistent segmented log,
// unless the configuration names another backend.
#include "kv/config/config.h"
#include "kv/pagecache/log_api.h"
#include "kv/pagecache/logger_backend.h"

namespace kelm::pagecache {

LogBackend& log_backend(const config::RunningConfig& cfg) {
  if (cfg->log_backend) return *cfg->log_backend;
  return segmented_backend();
}

}  // namespace kelm::pagecache
