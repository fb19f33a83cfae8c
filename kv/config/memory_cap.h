// Bounds the page-cache budget by the machine's memory limits.
#pragma once

#include <cstdint>
#include <filesystem>

#include "kv/error.h"

namespace kelm::config {

inline constexpr const char* kCgroupLimitFile = "/sys/fs/cgroup/memory/memory.limit_in_bytes";

// The cache capacity after the cgroup limit (read from `cgroup_file`), the
// soft address-space limit and physical memory: the smallest known limit when
// it is below `capacity`, else `capacity`. A cgroup value above
// 0x7FFFFFFF00000000 switches every bound off. Failed probes count as no limit.
uint64_t capped_cache_capacity(uint64_t capacity, const std::filesystem::path& cgroup_file);

Result<void> validate(const struct Inner& in);

}  // namespace kelm::config
