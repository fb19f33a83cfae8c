// init_env_log: a logger on standard error configured from the environment.
//
// ZUDIZID_LOG: comma-separated directives, each "level", "target",
// "target=" or "target=level" (levels off, error, warn, info, debug, trace in
// any case; a bare target means trace), then optionally "/" and a POSIX
// extended regular expression that the message must match. The directive
// with the longest target prefix of a record's target decides (a directive
// without target matches every target); no directive means error for all.
// ZUDIZID_LOG_STYLE: "always" or "never" colour, anything else automatic.
#include <regex.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "hnsw/libext/vantor.h"

namespace {

using zudizid::log::Level;

struct Directive {
  std::optional<std::string> target;
  Level level;
};

std::optional<Level> parse_level(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::pair<const char*, Level> kNames[] = {{"off", Level::Off},     {"error", Level::Error},
                                                         {"warn", Level::Warn},   {"info", Level::Info},
                                                         {"debug", Level::Debug}, {"trace", Level::Trace}};
  for (auto& [name, level] : kNames) {
    if (s == name) return level;
  }
  return std::nullopt;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\n\r\f\v");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\n\r\f\v");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

class EnvLogger final : public zudizid::log::Sink {
 public:
  ~EnvLogger() override {
    if (has_regex_) regfree(&regex_);
  }

  // Parses the filter value; warnings go to standard error afterwards.
  void configure(const char* value) {
    std::vector<std::string> warnings;
    if (value) parse(value, &warnings);
    for (const auto& w : warnings) std::fprintf(stderr, "warning: %s, ignoring it\n", w.c_str());
    if (directives_.empty()) directives_.push_back({std::nullopt, Level::Error});
    std::stable_sort(directives_.begin(), directives_.end(), [](const Directive& a, const Directive& b) {
      return (a.target ? a.target->size() : 0) < (b.target ? b.target->size() : 0);
    });
  }

  void set_colour(const char* style) {
    std::string s = style ? style : "";
    if (s == "always") {
      colour_ = true;
    } else if (s == "never") {
      colour_ = false;
    } else {
      colour_ = auto_colour();
    }
  }

  Level max_level() const {
    Level m = Level::Off;
    for (const auto& d : directives_) m = std::max(m, d.level);
    return m;
  }

  void write(const zudizid::log::Record& r) override {
    const Directive* decider = nullptr;
    for (auto it = directives_.rbegin(); it != directives_.rend(); ++it) {
      if (!it->target || r.target.compare(0, it->target->size(), *it->target) == 0) {
        decider = &*it;
        break;
      }
    }
    if (!decider || static_cast<int>(r.level) > static_cast<int>(decider->level)) return;
    if (has_regex_ && regexec(&regex_, r.message.c_str(), 0, nullptr, 0) != 0) return;
    static const char* kColour[] = {"", "\x1b[31m", "\x1b[33m", "\x1b[32m", "\x1b[34m", "\x1b[36m"};
    std::string level(zudizid::log::level_name(r.level));
    std::string line = colour_ ? std::string(kColour[static_cast<int>(r.level)]) + level + "\x1b[0m" : level;
    line = "[" + line + " " + r.target + "] " + r.message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }

 private:
  void parse(const std::string& value, std::vector<std::string>* warnings) {
    auto parts = split(value, '/');
    if (parts.size() > 2) {
      warnings->push_back("invalid logging spec '" + value + "' (too many '/'s)");
      return;
    }
    for (const auto& raw : split(parts[0], ',')) {
      std::string piece = trim(raw);
      if (piece.empty()) continue;
      auto eq = split(piece, '=');
      if (eq.size() == 1) {
        if (auto l = parse_level(eq[0])) {
          add({std::nullopt, *l});
        } else {
          add({eq[0], Level::Trace});
        }
      } else if (eq.size() == 2) {
        std::string word = trim(eq[1]);
        if (word.empty()) {
          add({eq[0], Level::Trace});
        } else if (auto l = parse_level(word)) {
          add({eq[0], *l});
        } else {
          warnings->push_back("invalid logging spec '" + word + "'");
        }
      } else {
        warnings->push_back("invalid logging spec '" + piece + "'");
      }
    }
    if (parts.size() == 2) {
      int rc = regcomp(&regex_, parts[1].c_str(), REG_EXTENDED | REG_NOSUB);
      if (rc != 0) {
        char msg[256];
        regerror(rc, &regex_, msg, sizeof(msg));
        warnings->push_back(std::string("invalid regex filter - ") + msg);
      } else {
        has_regex_ = true;
      }
    }
  }

  void add(Directive d) {
    for (auto& e : directives_) {
      if (e.target == d.target) {
        e = std::move(d);
        return;
      }
    }
    directives_.push_back(std::move(d));
  }

  static bool set_non_empty(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  }
  static bool auto_colour() {
    if (set_non_empty("NO_COLOR")) return false;
    if (set_non_empty("CLICOLOR_FORCE")) return true;
    const char* clicolor = std::getenv("CLICOLOR");
    if (clicolor && std::strcmp(clicolor, "0") == 0) return false;
    if (!isatty(STDERR_FILENO)) return false;
    const char* term = std::getenv("TERM");
    if (term && std::strcmp(term, "dumb") != 0) return true;
    return clicolor || std::getenv("CI");
  }

  std::vector<Directive> directives_;
  regex_t regex_{};
  bool has_regex_ = false;
  bool colour_ = false;
};

// 0: no logger, 1: installation under way, 2: installed.
std::atomic<int> g_state{0};

}  // namespace

extern "C" void init_env_log(void) {
  auto logger = std::make_shared<EnvLogger>();
  logger->configure(std::getenv("ZUDIZID_LOG"));
  logger->set_colour(std::getenv("ZUDIZID_LOG_STYLE"));
  int expected = 0;
  if (g_state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    zudizid::log::set_sink(logger, logger->max_level());
    g_state.store(2, std::memory_order_release);
    return;
  }
  while (g_state.load(std::memory_order_acquire) == 1) std::this_thread::yield();
}
