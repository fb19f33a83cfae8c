#include "hnsw/api/dump_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/io_error.h"
#include "common/log.h"
#include "hnsw/hnswio/hnswio.h"

namespace vantor::api {

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::unexpected<Error> os_error(const std::string& what) {
  return make_error(ErrorCode::Io, what + ": " + std::strerror(errno));
}

uint64_t random_u64() {
  thread_local std::mt19937_64 rng([] {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof(seed), 0) != sizeof(seed)) seed = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull;
    return seed;
  }());
  return rng();
}

// Creates a fresh temporary next to `path`.
int create_temp(const std::string& path, std::string* tmp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".tmp-%016llx", static_cast<unsigned long long>(random_u64()));
    *tmp = path + suffix;
    int fd = ::open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Result<std::unique_ptr<DumpFiles>> DumpFiles::create(const std::string& dir, const std::string& basename,
                                                     bool overwrite) {
  using hnswio::join_path;
  if (basename.find('\0') != std::string::npos || dir.find('\0') != std::string::npos) {
    return make_error(ErrorCode::Io, "a file name cannot hold a NUL byte");
  }
  std::string name = basename;
  if (!overwrite && exists(join_path(dir, basename + ".hnsw.data"))) {
    // Every candidate is tried at most once, from a uniformly drawn start.
    constexpr uint64_t kCandidates = 10000;
    uint64_t start = random_u64() % kCandidates;
    bool found = false;
    for (uint64_t i = 0; i < kCandidates && !found; ++i) {
      std::string candidate = basename + "-" + std::to_string((start + i) % kCandidates);
      if (!exists(join_path(dir, candidate + ".hnsw.data"))) {
        name = candidate;
        found = true;
      }
    }
    if (!found) return make_error(ErrorCode::Io, "no fresh basename left for the dump of " + basename);
  }
  ZLOG(Debug, kTarget, "DumpInit : dumping in dir {} with (unique) basename : {}", dir, name);
  std::unique_ptr<DumpFiles> f(new DumpFiles());
  f->dir_ = dir;
  f->basename_ = name;
  f->graph_path_ = join_path(dir, name + ".hnsw.graph");
  f->data_path_ = join_path(dir, name + ".hnsw.data");
  int gfd = create_temp(f->graph_path_, &f->graph_tmp_);
  if (gfd < 0) {
    std::fputs(("DumpInit::new : could not open file " + zudizid::common::debug_quote(f->graph_path_) + "\n").c_str(), stdout);
    f->graph_tmp_.clear();
    return os_error("could not create " + f->graph_path_);
  }
  f->graph_ = std::make_unique<hnswio::Writer>(gfd);
  int dfd = create_temp(f->data_path_, &f->data_tmp_);
  if (dfd < 0) {
    std::fputs(("DumpInit::init : could not open file " + zudizid::common::debug_quote(f->data_path_) + "\n").c_str(), stdout);
    f->data_tmp_.clear();
    return os_error("could not create " + f->data_path_);
  }
  f->data_ = std::make_unique<hnswio::Writer>(dfd);
  return f;
}

DumpFiles::~DumpFiles() {
  graph_.reset();
  data_.reset();
  if (!committed_) {
    if (!graph_tmp_.empty()) ::unlink(graph_tmp_.c_str());
    if (!data_tmp_.empty()) ::unlink(data_tmp_.c_str());
  }
}

Result<void> DumpFiles::commit() {
  if (!data_->flush_and_sync()) return make_error(ErrorCode::Io, data_->error());
  if (!graph_->flush_and_sync()) return make_error(ErrorCode::Io, graph_->error());
  data_.reset();
  graph_.reset();
  if (::rename(data_tmp_.c_str(), data_path_.c_str()) != 0) return os_error("could not rename " + data_tmp_);
  data_tmp_.clear();
  if (::rename(graph_tmp_.c_str(), graph_path_.c_str()) != 0) return os_error("could not rename " + graph_tmp_);
  graph_tmp_.clear();
  committed_ = true;
  int dfd = ::open(parent_dir(graph_path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return os_error("could not open the dump directory");
  int rc = ::fsync(dfd);
  ::close(dfd);
  if (rc != 0) return os_error("could not sync the dump directory");
  return {};
}

}  // namespace vantor::api
