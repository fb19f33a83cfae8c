// Crash-safe file replacement and directory sync, shared by every engine.
//
// write_file_durably replaces `target` so that after a crash the file is
// either the old one or the new one, whole:
//   1. the bytes go to a temporary sibling in the target's directory,
//   2. the temporary is fsynced and closed,
//   3. it is renamed over the target,
//   4. the directory is fsynced, which makes the rename itself durable.
// The call returns success only after step 4. On failure the temporary is
// removed (best effort) and the target is untouched unless the rename
// already happened, in which case only the directory sync failed.
//
// Engines keep their own error types: the error says which step failed and
// names the temporary, so an engine can word the message as it always has.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

#include "common/io_error.h"

namespace zudizid::common {

struct DurableWriteOptions {
  // How the temporary is named. Suffix: target + temp_suffix, truncated if a
  // crash left one behind. Unique: ".tmp" plus six random characters,
  // created exclusively, so concurrent writers in one directory never meet.
  enum class TempName : std::uint8_t { Suffix, Unique };
  TempName temp_name = TempName::Suffix;
  std::string temp_suffix = ".tmp";
  // Permission bits of the new file (before the umask).
  mode_t mode = 0666;
};

enum class DurableWriteStep : std::uint8_t { CreateTemp, Write, SyncFile, Rename, SyncDirectory };

struct DurableWriteError {
  DurableWriteStep step;
  IoError error;
  std::filesystem::path temp;  // the temporary's path (empty if none was named)
};

std::expected<void, DurableWriteError> write_file_durably(const std::filesystem::path& target,
                                                          std::span<const std::uint8_t> bytes,
                                                          const DurableWriteOptions& options = {});

// fsync of a directory, so that a create, rename or unlink in it survives a
// crash. An empty path is the working directory.
std::expected<void, IoError> sync_directory(const std::filesystem::path& dir);

}  // namespace zudizid::common
