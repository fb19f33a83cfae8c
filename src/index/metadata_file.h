// Durable reads and writes of "metadata.bin".
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "common/io_error.h"

namespace zudizid::index {

inline constexpr const char* kMetadataFileName = "metadata.bin";

// Replaces dir/name with `bytes` so that a crash leaves either the old or the
// new file whole: the bytes go to a temporary sibling, which is fsynced and
// renamed over the target, and the directory is fsynced.
std::expected<void, common::IoError> write_file_atomically(const std::filesystem::path& dir,
                                                           const std::string& name,
                                                           const std::string& bytes);

// The whole file; nullopt when it does not exist.
std::expected<std::optional<std::string>, common::IoError> read_whole_file(
    const std::filesystem::path& path);

}  // namespace zudizid::index
