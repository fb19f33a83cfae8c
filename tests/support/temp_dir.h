// Scratch directories and whole-file reads and writes for tests.
#pragma once

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace zudizid::testing {

// A fresh directory under the system's temporary directory, named
// "{prefix}-{pid}-XXXXXX" and removed with everything in it when the object
// goes, by the process that made it only: a forked child that unwinds its
// copy leaves the parent's directory alone. A process killed before its
// directories go leaves them behind; the first directory a later process
// makes with the same prefix removes those whose process has ended.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "zudizid-test") : owner_(::getpid()) {
    const std::filesystem::path root = std::filesystem::temp_directory_path();
    remove_orphans(root, prefix);
    std::string tmpl = (root / (std::string(prefix) + "-" + std::to_string(owner_) + "-XXXXXX")).string();
    if (!mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    if (::getpid() != owner_) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  // Once per process and prefix: "{prefix}-{pid}-*" of processes gone.
  static void remove_orphans(const std::filesystem::path& root, std::string_view prefix) {
    static std::mutex mu;
    static std::set<std::string, std::less<>> swept;
    std::lock_guard lock(mu);
    if (!swept.emplace(prefix).second) return;
    const std::string head = std::string(prefix) + "-";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
      const std::string name = entry.path().filename().string();
      if (!name.starts_with(head)) continue;
      const size_t dash = name.find('-', head.size());
      if (dash == std::string::npos || dash == head.size()) continue;
      const std::string digits = name.substr(head.size(), dash - head.size());
      if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) continue;
      const pid_t pid = static_cast<pid_t>(std::stol(digits));
      if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
      std::error_code ignored;
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }

  pid_t owner_;
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace zudizid::testing
