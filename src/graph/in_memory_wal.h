// The log file of an in-memory database lives in the temporary directory.
// Its owner removes it when the last holder (the graph handle's log member)
// goes, so throw-away databases leave nothing behind.
//
// A process may also end with handles still held (the interpreter exits
// while daemon threads hold a graph): every log whose owner is alive then is
// removed at exit, by the process that created it only, so a forked child
// never removes its parent's logs.
#pragma once

#include <filesystem>

namespace zudizid::graph {

class TemporaryWalFile {
 public:
  explicit TemporaryWalFile(std::filesystem::path path);
  ~TemporaryWalFile();
  TemporaryWalFile(const TemporaryWalFile&) = delete;
  TemporaryWalFile& operator=(const TemporaryWalFile&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zudizid::graph
