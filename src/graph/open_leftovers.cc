#include "graph/open_leftovers.h"

#include <array>
#include <string_view>
#include <system_error>

namespace zudizid::graph {

namespace fs = std::filesystem;

namespace {

// Names an open creates in the database directory (temporary names of the
// engine's atomic writes begin with one of them and a dot).
bool is_database_entry(std::string_view name) {
  constexpr std::array<std::string_view, 6> kNames = {"conf", "db", "blobs", "zovov.wal", "indexes", "snap"};
  for (std::string_view known : kNames) {
    if (name == known || (name.starts_with(known) && name.size() > known.size() && name[known.size()] == '.')) {
      return true;
    }
  }
  return false;
}

}  // namespace

OpenLeftovers::OpenLeftovers(const fs::path& dir) : dir_(dir.empty() ? fs::path(".") : dir) {
  std::error_code ec;
  const bool exists = fs::exists(dir_, ec);
  if (ec) return;  // unknown: nothing will be removed
  if (exists) {
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
      present_.insert(it->path().filename().string());
    }
    known_ = !ec;
    return;
  }
  // The topmost ancestor that does not exist yet is what the open creates.
  fs::path missing = dir_;
  for (;;) {
    fs::path parent = missing.parent_path();
    if (parent.empty() || parent == missing) break;
    const bool parent_exists = fs::exists(parent, ec);
    if (ec || parent_exists) break;
    missing = parent;
  }
  created_root_ = missing;
  known_ = true;
}

void OpenLeftovers::remove() const {
  if (!known_) return;
  std::error_code ec;
  if (!created_root_.empty()) {
    fs::remove_all(created_root_, ec);
    return;
  }
  std::set<std::string> created;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (is_database_entry(name) && !present_.contains(name)) created.insert(std::move(name));
  }
  for (const std::string& name : created) fs::remove_all(dir_ / name, ec);
}

}  // namespace zudizid::graph
