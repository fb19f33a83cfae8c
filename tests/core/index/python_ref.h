// Runs /usr/bin/python3 as an independent reference for tests.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace zudizid::testing {

// A directory removed when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zudizid-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Runs `script` with the given arguments; returns its standard output, or
// sets `ok` false when python fails.
inline std::string run_python(const std::string& script, const std::string& args, bool* ok) {
  TempDir dir;
  auto script_path = dir.path() / "ref.py";
  write_file(script_path, script);
  std::string cmd = "/usr/bin/python3 " + script_path.string() + " " + args;
  FILE* pipe = popen(cmd.c_str(), "r");
  std::string out;
  if (!pipe) {
    *ok = false;
    return out;
  }
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
  *ok = pclose(pipe) == 0;
  return out;
}

}  // namespace zudizid::testing
