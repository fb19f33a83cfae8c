#include "kv/config/memory_cap.h"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace kelm::config {

uint64_t capped_cache_capacity(uint64_t capacity, const std::filesystem::path& cgroup_file) {
  uint64_t limit = 0;
  {
    std::ifstream f(cgroup_file);
    if (f) {
      std::stringstream ss;
      ss << f.rdbuf();
      std::string s = ss.str();
      size_t b = s.find_first_not_of(" \t\n\r\f\v");
      size_t e = s.find_last_not_of(" \t\n\r\f\v");
      if (b != std::string::npos) {
        std::string_view t = std::string_view(s).substr(b, e - b + 1);
        if (!t.empty() && t[0] == '+') t.remove_prefix(1);
        uint64_t v = 0;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        if (!t.empty() && ec == std::errc() && p == t.data() + t.size()) {
          if (v > 0x7FFFFFFF00000000ull) return capacity;
          limit = v;
        }
      }
    }
  }
  struct rlimit rl{};
  if (getrlimit(RLIMIT_AS, &rl) == 0) {
    uint64_t soft = rl.rlim_cur;
    if (limit == 0 || limit > soft) limit = soft;
  }
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages != -1 && page_size != -1) {
    uint64_t phys = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
    if (limit == 0 || limit > phys) limit = phys;
  }
  if (limit != 0 && limit < capacity) return limit;
  return capacity;
}

}  // namespace kelm::config
