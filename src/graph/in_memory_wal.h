// The log file of an in-memory database lives in the temporary directory.
// The owner below removes it when the last holder (the graph handle's log
// member) goes, so throw-away databases leave nothing behind.
#pragma once

#include <filesystem>

namespace zudizid::graph {

class TemporaryWalFile {
 public:
  explicit TemporaryWalFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryWalFile();
  TemporaryWalFile(const TemporaryWalFile&) = delete;
  TemporaryWalFile& operator=(const TemporaryWalFile&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zudizid::graph
