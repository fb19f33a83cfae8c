// What a failed open leaves behind. Opening a database creates its
// directory (with any missing parents) and the files in it: the key-value
// engine's "conf", "db", "blobs" and snapshot files, the log "zovov.wal"
// and the index directory "indexes". When the open then fails, everything
// it created goes again, so that a mistyped path or a failing disk leaves no
// half-made database behind; what was there before the open is never
// touched.
//
//   OpenLeftovers leftovers(path);          // before anything is created
//   ... open; on failure, after every handle of the store is gone:
//   leftovers.remove();
#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace zudizid::graph {

class OpenLeftovers {
 public:
  // Notes the state of `dir` (the current directory for an empty path).
  // Creates nothing.
  explicit OpenLeftovers(const std::filesystem::path& dir);

  // Removes the directories the open created, and in a directory that
  // existed before the open, the database files that were not there. Best
  // effort: a failure to remove is ignored.
  void remove() const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path created_root_;  // the topmost directory created by the open; empty when `dir_` existed
  std::set<std::string> present_;       // names in `dir_` before the open
  bool known_ = false;                  // false when the state before could not be read: remove nothing
};

}  // namespace zudizid::graph
