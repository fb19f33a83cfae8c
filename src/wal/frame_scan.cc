#include "wal/frame_scan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <vector>

#include "common/log.h"
#include "wal/frame.h"

namespace zudizid::wal {

namespace {

constexpr const char* kTarget = "zudizid::wal";
constexpr std::size_t kWindow = 1 << 20;

// Reads up to n bytes at off; fewer only at the end of the file.
std::expected<std::size_t, common::IoError> pread_full(int fd, char* buf, std::size_t n, std::uint64_t off) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(common::last_os_error());
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return done;
}

// Sequential reader over a window buffer: most frames are small, so one
// positioned read serves many of them. Payloads larger than the window are
// read straight into their own buffer.
class SequentialReader {
 public:
  SequentialReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  // Fills `out` with [off, off + n); returns the number of bytes available
  // (fewer than n only at the end of the file).
  std::expected<std::size_t, common::IoError> read(std::uint64_t off, std::size_t n, std::string& out) {
    out.resize(n);
    if (n > kWindow) {
      auto r = pread_full(fd_, out.data(), n, off);
      if (r) out.resize(*r);
      return r;
    }
    if (off < win_off_ || off + n > win_off_ + win_.size()) {
      win_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - std::min(size_, off))));
      if (win_.size() < n) win_.resize(n);
      auto r = pread_full(fd_, win_.data(), win_.size(), off);
      if (!r) return std::unexpected(r.error());
      win_.resize(*r);
      win_off_ = off;
    }
    std::size_t avail = static_cast<std::size_t>(std::min<std::uint64_t>(n, win_off_ + win_.size() - off));
    std::copy_n(win_.data() + (off - win_off_), avail, out.data());
    out.resize(avail);
    return avail;
  }

 private:
  int fd_;
  std::uint64_t size_;
  std::string win_;
  std::uint64_t win_off_ = 0;
};

// Looks for a whole, decodable frame that starts after `bad`. Compact JSON
// never contains a zero byte, so a length word below 2^56 (its top byte is
// zero) cannot hide inside a payload: a hit is a real frame, not text.
std::expected<std::optional<std::uint64_t>, common::IoError> find_whole_frame_after(
    int fd, std::uint64_t bad, std::uint64_t size, const FrameDecoder& decode) {
  std::string window;
  std::string payload;
  for (std::uint64_t base = bad + 1; base + kFrameHeaderSize + 2 <= size;) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size - base));
    window.resize(want);
    auto got = pread_full(fd, window.data(), want, base);
    if (!got) return std::unexpected(got.error());
    window.resize(*got);
    const auto* bytes = reinterpret_cast<const unsigned char*>(window.data());
    // Candidates need their header and first two payload bytes in the window.
    std::size_t last = window.size() >= kFrameHeaderSize + 2 ? window.size() - kFrameHeaderSize - 2 : 0;
    for (std::size_t i = 0; i <= last && window.size() >= kFrameHeaderSize + 2; ++i) {
      if (bytes[i + 8] != '{' || bytes[i + 9] != '"') continue;
      std::uint64_t q = base + i;
      std::uint64_t n = read_frame_length(bytes + i);
      if (n < 2 || n > size - q - kFrameHeaderSize) continue;
      payload.resize(static_cast<std::size_t>(n));
      auto r = pread_full(fd, payload.data(), payload.size(), q + kFrameHeaderSize);
      if (!r) return std::unexpected(r.error());
      if (*r != n) continue;
      if (decode(payload, false)) return q;
    }
    if (window.size() < want || last + 1 >= window.size()) break;
    base += last + 1;
  }
  return std::nullopt;
}

}  // namespace

std::string FrameCorruption::message() const {
  return fmt::format(
      "WAL is corrupted at offset {} ({}) but whole records follow at offset {}; refusing to cut the log "
      "there because that would drop committed transactions",
      offset, reason, next_record);
}

std::expected<FrameScanResult, FrameScanError> scan_frames(int fd, const FrameDecoder& decode) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(common::last_os_error());
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);

  SequentialReader reader(fd, size);
  FrameScanResult result{.valid_end = 0, .file_size = size, .frames = 0};
  std::string header;
  std::string payload;
  std::string bad_reason;  // empty: stopped at the end of the file or a partial length word
  std::uint64_t p = 0;
  for (;;) {
    auto h = reader.read(p, kFrameHeaderSize, header);
    if (!h) return std::unexpected(h.error());
    if (*h < kFrameHeaderSize) break;  // the end, or a partial length word: silent
    std::uint64_t n = read_frame_length(reinterpret_cast<const unsigned char*>(header.data()));
    if (n > size - p - kFrameHeaderSize) {  // no wrap-around: p + 8 <= size here
      ZLOG(Warn, kTarget, "WAL record length ({}) exceeds file — torn tail, stopping scan", n);
      bad_reason = fmt::format("record length {} exceeds the file", n);
      break;
    }
    auto r = reader.read(p + kFrameHeaderSize, static_cast<std::size_t>(n), payload);
    if (!r) return std::unexpected(r.error());
    if (*r < n) {
      ZLOG(Warn, kTarget, "WAL payload truncated — torn tail, stopping scan");
      bad_reason = "payload truncated";
      break;
    }
    if (auto d = decode(payload, true); !d) {
      ZLOG(Warn, kTarget, "WAL tail record undecodable ({}) — torn tail, stopping scan", d.error());
      bad_reason = fmt::format("record undecodable: {}", d.error());
      break;
    }
    p += kFrameHeaderSize + n;
    ++result.frames;
  }
  result.valid_end = p;

  if (p < size) {
    if (bad_reason.empty()) bad_reason = "partial length word";
    auto next = find_whole_frame_after(fd, p, size, decode);
    if (!next) return std::unexpected(next.error());
    if (*next) return std::unexpected(FrameCorruption{p, bad_reason, **next});
  }
  return result;
}

}  // namespace zudizid::wal
