// Engine configuration: the `Config` record with its defaults, copy-on-write
// setters and validation, the `conf` file of a database directory, the `db`
// file lock, and the `RunningConfig` an open engine holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kv/error.h"

namespace kelm {
class Db;
}
namespace kelm::pagecache {
class LogBackend;
}

namespace kelm::config {

enum class Mode : uint8_t { LowSpace = 0, HighThroughput = 1 };

// The shared slot where background work records the first error it meets.
class GlobalErrorSlot {
 public:
  // A copy (Error::clone) of the recorded error, if any.
  std::optional<Error> get() const;
  bool is_set() const { return set_.load(std::memory_order_acquire); }
  // Records `e` only when nothing is recorded yet.
  void set(const Error& e);
  // Empties the slot (engine start).
  void clear();

 private:
  std::atomic<bool> set_{false};
  mutable std::mutex mu_;
  std::optional<Error> err_;
};

// Removes a temporary directory when the last configuration copy that refers
// to it goes away (copies made by copy-on-write share one owner).
class TempDirOwner {
 public:
  explicit TempDirOwner(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~TempDirOwner();
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

struct Inner {
  uint64_t cache_capacity = 1073741824;
  std::optional<uint64_t> flush_every_ms = 500;
  uint64_t segment_size = 524288;
  std::filesystem::path path = "default.kelm";
  bool create_new = false;
  Mode mode = Mode::LowSpace;
  bool temporary = false;
  bool use_compression = false;
  int32_t compression_factor = 5;
  bool print_profile_on_drop = false;
  uint64_t idgen_persist_interval = 1000000;
  std::pair<uint64_t, uint64_t> version{0, 34};
  std::filesystem::path tmp_path;
  std::shared_ptr<GlobalErrorSlot> global_error = std::make_shared<GlobalErrorSlot>();
  // Shared by every copy of a temporary record whose directory is in use by
  // an engine; the last holder removes the directory.
  mutable std::shared_ptr<TempDirOwner> temp_owner;
  // The log implementation engine start uses; unset means the persistent
  // segmented log. Tests hand in doubles (fault injection, simulated
  // crashes) here. Not part of the stored `conf` nor of `debug`.
  std::shared_ptr<pagecache::LogBackend> log_backend;

  // The directory in use: tmp_path for a temporary record left at the
  // default path, otherwise path.
  std::filesystem::path get_path() const;
  // Complete snapshot files ("snap." names, without in-progress leftovers).
  Result<std::vector<std::filesystem::path>> get_snapshot_files() const;
  std::string debug() const;
};

// The content of a directory's `conf` file.
struct StoredParameters {
  uint64_t segment_size = 0;
  bool use_compression = false;
  std::pair<uint64_t, uint64_t> version{0, 0};

  static Result<StoredParameters> parse(std::span<const uint8_t> text);
};

// The conf text for a record (three lines, no trailer).
std::string conf_text(const Inner& inner);

class Config {
 public:
  Config();  // defaults, fresh tmp_path

  Config& path(std::filesystem::path p);
  Config& cache_capacity(uint64_t v);
  Config& flush_every_ms(std::optional<uint64_t> v);
  Config& use_compression(bool v);
  Config& temporary(bool v);
  Config& segment_size(uint64_t v);
  Config& create_new(bool v);
  Config& compression_factor(int32_t v);
  Config& idgen_persist_interval(uint64_t v);
  Config& log_backend(std::shared_ptr<pagecache::LogBackend> backend);

  const Inner& inner() const { return *inner_; }
  const Inner* operator->() const { return inner_.get(); }
  // Copy-on-write access: copies a shared record first.
  Inner& inner_mut();
  bool is_shared() const { return inner_.use_count() != 1; }

  Result<Db> open() const;

  std::string debug() const { return "Config(" + inner_->debug() + ")"; }

 private:
  std::shared_ptr<Inner> inner_;
};

// The open, locked log file `db`; closing it releases the lock.
class LogFile {
 public:
  LogFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  int fd() const { return fd_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  int fd_;
  std::filesystem::path path_;
};

// What a running engine holds: its own configuration handle and the log file.
struct RunningConfig {
  Config inner;
  std::shared_ptr<LogFile> file;

  const Inner& operator*() const { return inner.inner(); }
  const Inner* operator->() const { return &inner.inner(); }
  Result<void> global_error() const;
  void set_global_error(const Error& e) const;
  std::filesystem::path get_path() const { return inner->get_path(); }
};

}  // namespace kelm::config
