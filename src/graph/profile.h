// Storage profiles: the three tunings a database is opened with, and the
// key-value engine settings each one stands for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "kv/config/config.h"
#include "kv/db.h"

namespace zudizid::graph {

// The byte is kept next to the engine handle in the storage member.
enum class Profile : std::uint8_t { Default = 0, Mobile = 1, Server = 2 };

struct ProfileSettings {
  std::uint64_t flush_every_ms;
  std::optional<std::uint64_t> cache_capacity;  // unset: the engine default
  bool use_compression;
};

// Server leaves compression off: the engine has no compression and refuses a
// configuration that asks for it, which would make every server open fail.
ProfileSettings profile_settings(Profile profile);

// "default", "mobile", "server"; anything else is no profile.
std::optional<Profile> parse_profile(std::string_view name);
std::string_view profile_name(Profile profile);

// The engine configuration for a database directory, setters applied in
// the fixed order: path, cache capacity, flush period, compression.
kelm::config::Config directory_config(const std::filesystem::path& path, Profile profile);

// The same for a temporary store that the engine places and removes itself.
kelm::config::Config temporary_config(Profile profile);

}  // namespace zudizid::graph
