#include "graph/profile.h"

namespace zudizid::graph {

ProfileSettings profile_settings(Profile profile) {
  switch (profile) {
    case Profile::Mobile:
      return {3000, 16ull * 1024 * 1024, false};
    case Profile::Server:
      return {500, 256ull * 1024 * 1024, false};
    case Profile::Default:
      break;
  }
  return {1000, std::nullopt, false};
}

std::optional<Profile> parse_profile(std::string_view name) {
  if (name == "default") return Profile::Default;
  if (name == "mobile") return Profile::Mobile;
  if (name == "server") return Profile::Server;
  return std::nullopt;
}

std::string_view profile_name(Profile profile) {
  switch (profile) {
    case Profile::Mobile:
      return "mobile";
    case Profile::Server:
      return "server";
    case Profile::Default:
      break;
  }
  return "default";
}

namespace {

void apply_profile(kelm::config::Config& config, Profile profile) {
  ProfileSettings s = profile_settings(profile);
  if (s.cache_capacity) config.cache_capacity(*s.cache_capacity);
  config.flush_every_ms(s.flush_every_ms);
  config.use_compression(s.use_compression);
}

}  // namespace

kelm::config::Config directory_config(const std::filesystem::path& path, Profile profile) {
  kelm::config::Config config;
  config.path(path);
  apply_profile(config, profile);
  return config;
}

kelm::config::Config temporary_config(Profile profile) {
  kelm::config::Config config;
  config.temporary(true);
  apply_profile(config, profile);
  return config;
}

}  // namespace zudizid::graph
