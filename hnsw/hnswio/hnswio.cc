#include "hnsw/hnswio/hnswio.h"

#include <fmt/format.h>

#include <cstdio>

#include "common/io_error.h"
#include "common/log.h"

namespace vantor::hnswio {

std::string join_path(const std::string& dir, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

namespace {

constexpr size_t kReloadBuffer = size_t{1} << 20;

Result<Reader> open_reader(const std::string& path) {
  uint64_t size = 0;
  std::string why;
  int fd = open_for_reading(path, &size, &why);
  if (fd < 0) {
    std::string msg = fmt::format("HnswIo::init : could not open file {}", zudizid::common::debug_quote(path));
    std::fputs((msg + "\n").c_str(), stdout);
    ZLOG(Error, kTarget, "{}", msg);
    return make_error(ErrorCode::Io, msg);
  }
  // Large reads: a reload streams both files front to back once.
  return Reader(fd, size, kReloadBuffer);
}

}  // namespace

Result<OpenedDump> HnswIo::init() const {
  ZLOG(Info, kTarget, "reloading from basename : {}", basename);
  auto graph = open_reader(graph_path());
  if (!graph) return std::unexpected(graph.error());
  auto data = open_reader(data_path());
  if (!data) return std::unexpected(data.error());
  auto d = Description::load(*graph);
  if (!d) return std::unexpected(d.error());
  return OpenedDump{std::move(*graph), std::move(*data), std::move(*d)};
}

}  // namespace vantor::hnswio
