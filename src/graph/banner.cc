#include "graph/banner.h"

#include <cstdlib>
#include <cstring>

#include "common/utf8.h"

namespace zudizid::graph {

std::string_view first_run_banner() {
  static constexpr std::string_view kBanner =
      "\n"
      "\n"
      "    Welcome to ZudizID! \xF0\x9F\x8C\xB5\n"
      "\n"
      "         |\\__/,|   (`\\\n"
      "       _.|o o  |_   ) )\n"
      "    -(((---(((--------\n"
      "\n"
      "    Your graph database with:\n"
      "    \xE2\x9C\x93 ACID Transactions\n"
      "    \xE2\x9C\x93 MVCC Time-Travel\n"
      "    \xE2\x9C\x93 Deadlock Detection\n"
      "    \xE2\x9C\x93 WAL Durability\n"
      "\n"
      "\n"
      "            \n";
  return kBanner;
}

bool maybe_print_first_run_banner(std::FILE* out) {
  const char* value = std::getenv("ZUDIZID_FIRST_RUN");
  if (value == nullptr) return false;
  if (!common::is_valid_utf8(std::string_view(value, std::strlen(value)))) return false;
  std::string_view banner = first_run_banner();
  std::fwrite(banner.data(), 1, banner.size(), out);
  std::fflush(out);
  return true;
}

}  // namespace zudizid::graph
