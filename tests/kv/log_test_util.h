// Helpers for the log tests: a scratch database directory, a segment image
// builder that lays messages out the way the log writer does, and a file that
// fails on command.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kv/file_io.h"
#include "kv/pagecache/log_config.h"
#include "kv/pagecache/message.h"

namespace kelm::testing {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelm-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
    std::filesystem::create_directories(path_ / "blobs");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A file that forwards to a real one and fails or shortens writes and reads
// when told to.
class FaultyFile final : public File {
 public:
  explicit FaultyFile(std::shared_ptr<File> inner) : inner_(std::move(inner)) {}

  std::atomic<int> write_errno{0};   // fail every write with this errno
  std::atomic<int> read_errno{0};    // fail every read with this errno
  std::atomic<int> sync_errno{0};    // fail fdatasync/fsync with this errno
  std::atomic<size_t> max_write{0};  // cap each write at this many bytes (0 = no cap)
  std::atomic<uint64_t> fail_reads_from{0};  // read_errno applies at offsets >= this
  std::atomic<size_t> reads{0};
  std::atomic<size_t> writes{0};
  std::atomic<size_t> syncs{0};

  IoResult<size_t> read_at(uint8_t* buf, size_t n, uint64_t offset) override {
    ++reads;
    if (int e = read_errno.load(); e && offset + n > fail_reads_from.load())
      return std::unexpected(zudizid::common::IoError::from_os(e));
    return inner_->read_at(buf, n, offset);
  }
  IoResult<size_t> write_at(const uint8_t* buf, size_t n, uint64_t offset) override {
    ++writes;
    if (int e = write_errno.load()) return std::unexpected(zudizid::common::IoError::from_os(e));
    if (size_t cap = max_write.load(); cap && n > cap) n = cap;
    return inner_->write_at(buf, n, offset);
  }
  IoResult<void> sync_data() override {
    ++syncs;
    if (int e = sync_errno.load()) return std::unexpected(zudizid::common::IoError::from_os(e));
    return inner_->sync_data();
  }
  IoResult<void> sync_all() override {
    ++syncs;
    if (int e = sync_errno.load()) return std::unexpected(zudizid::common::IoError::from_os(e));
    return inner_->sync_all();
  }
  void sync_range_hint(uint64_t offset, uint64_t len) override { inner_->sync_range_hint(offset, len); }
  IoResult<uint64_t> len() override { return inner_->len(); }
  IoResult<void> set_len(uint64_t len) override { return inner_->set_len(len); }

 private:
  std::shared_ptr<File> inner_;
};

inline std::shared_ptr<File> open_db(const std::filesystem::path& dir) {
  auto f = PosixFile::open(dir / "db", O_RDWR | O_CREAT, 0644);
  return f ? std::shared_ptr<File>(*f) : nullptr;
}

inline pagecache::LogConfig config_for(const TempDir& dir, uint64_t segment_size, std::shared_ptr<File> file = nullptr) {
  pagecache::LogConfig c;
  c.path = dir.path();
  c.segment_size = segment_size;
  c.file = file ? std::move(file) : open_db(dir.path());
  return c;
}

inline std::vector<uint8_t> message_bytes(pagecache::MessageKind kind, uint64_t segment_number, PageId pid,
                                          const std::vector<uint8_t>& body) {
  pagecache::MessageHeader h;
  h.kind = kind;
  h.len = body.size();
  h.segment_number = segment_number;
  h.pid = pid;
  std::vector<uint8_t> out(h.serialized_size());
  h.serialize_into(out.data());
  out.insert(out.end(), body.begin(), body.end());
  pagecache::stamp_message_crc(out, h.serialized_size());
  return out;
}

// One segment as the writer lays it out: header, then messages back to back.
struct SegmentImage {
  uint64_t segment_size;
  Lsn lsn;
  std::vector<uint8_t> bytes;
  size_t used = pagecache::kSegHeaderLen;

  SegmentImage(uint64_t s, Lsn l, Lsn max_stable = -1) : segment_size(s), lsn(l), bytes(s, 0) {
    pagecache::encode_segment_header(l, max_stable < 0 ? l - 1 : max_stable, bytes.data());
  }
  // Appends a message; returns the lsn it starts at.
  Lsn add(pagecache::MessageKind kind, PageId pid, const std::vector<uint8_t>& body) {
    auto m = message_bytes(kind, static_cast<uint64_t>(lsn) / segment_size, pid, body);
    return add_raw(m);
  }
  Lsn add_raw(const std::vector<uint8_t>& m) {
    Lsn at = lsn + static_cast<Lsn>(used);
    std::memcpy(bytes.data() + used, m.data(), m.size());
    used += m.size();
    return at;
  }
  void cap() {
    size_t r = segment_size - used;
    if (r >= pagecache::kMaxMsgHeaderLen) pagecache::write_cap(bytes.data() + used, r, lsn / segment_size);
  }
  void write(File& f, LogOffset lid, size_t len = SIZE_MAX) const {
    (void)write_all_at(f, bytes.data(), std::min(len, bytes.size()), lid);
  }
};

}  // namespace kelm::testing

#include "kv/pagecache/iobuf.h"
#include "kv/pagecache/iterator.h"
#include "kv/pagecache/logger.h"
#include "kv/pagecache/segment.h"

namespace kelm::testing {

// A running log on an empty file.
inline std::shared_ptr<pagecache::IoBufs> start_log(const pagecache::LogConfig& config) {
  auto sa = std::make_unique<pagecache::SegmentAccountant>(config, std::make_shared<pagecache::SegmentCleaner>());
  if (!sa->initialize_from_snapshot(pagecache::Snapshot{})) return nullptr;
  auto lid = sa->next(0);
  if (!lid) return nullptr;
  pagecache::IoBufs::Options opts;
  opts.config = config;
  auto log = pagecache::IoBufs::start(std::move(opts), std::move(sa), 0, *lid, true);
  return log ? *log : nullptr;
}

inline pagecache::IoBufs::BodyWriter fill_with(std::vector<uint8_t> body) {
  return [body = std::move(body)](std::span<uint8_t> out) {
    if (out.size() != body.size()) return false;
    std::copy(body.begin(), body.end(), out.begin());
    return true;
  };
}

// Records a message as live with the segment accountant, the way the page
// cache does (before its reservation is completed): directly when the
// accountant is free, deferred to the writer else.
inline Result<void> account(pagecache::IoBufs& log, PageId pid, Lsn lsn, DiskPtr ptr, uint64_t size) {
  pagecache::FragmentInfo info{lsn, ptr, size};
  if (!log.try_lock_accountant()) {
    log.push_pending({true, pid, lsn, {}, info});
    return {};
  }
  auto r = log.apply_pending();
  if (r) r = log.accountant().mark_link(pid, info);
  log.unlock_accountant();
  return r;
}

// Every valid message of the log, in lsn order, as recovery's iterator sees it.
inline std::vector<pagecache::LogItem> scan_log(const pagecache::LogConfig& config) {
  std::vector<pagecache::LogItem> out;
  auto scan = pagecache::scan_segment_headers(0, config);
  if (!scan) return out;
  pagecache::LogIter it(config, scan->ordering, std::nullopt, false);
  while (auto item = it.next()) out.push_back(*item);
  return out;
}

}  // namespace kelm::testing
