// Runs /usr/bin/python3 (Debian's interpreter, the one with the python3-*
// packages) as an independent reference for tests.
#pragma once

#include <array>
#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

namespace zudizid::testing {

// Runs `script` with the given arguments (passed through the shell); returns
// its standard output, and sets `ok` false when python fails.
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
