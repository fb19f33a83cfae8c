#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/temp_dir.h"

namespace zudizid::wal::testing {

class TempDir : public ::zudizid::testing::TempDir {
 public:
  TempDir() : ::zudizid::testing::TempDir("zudizid-wal-test") {}
};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace zudizid::wal::testing
