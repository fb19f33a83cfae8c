#include "kv/pagecache/iterator.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "common/log.h"
#include "kv/pagecache/logger.h"
#include "kv/threadpool/threadpool.h"

namespace kelm::pagecache {

using zudizid::common::IoError;
using zudizid::common::IoErrorKind;

namespace {
constexpr const char* kTarget = "kelm::pagecache::iterator";

bool is_os_error(const Error& e) {
  const auto* io = e.get_if<Error::Io>();
  return io && io->error.os_code() != 0;
}

}  // namespace

std::string ordering_debug(const std::map<Lsn, LogOffset>& ordering) {
  std::string s = "{";
  bool first = true;
  for (auto [k, v] : ordering) {
    s += fmt::format("{}{}: {}", first ? "" : ", ", k, v);
    first = false;
  }
  return s + "}";
}

void LogIter::note_error(const Error& e) {
  if (is_os_error(e) && !io_error) io_error = e;
}

Result<void> LogIter::read_segment() {
  const uint64_t S = config_.segment_size;
  if (segments.empty())
    return std::unexpected(Error::io(IoError(IoErrorKind::Other, "no segments remaining to iterate over")));
  auto [lsn, lid] = *segments.begin();
  if (max_lsn && lsn > *max_lsn)
    return std::unexpected(Error::io(IoError(IoErrorKind::Other, "next segment is above our configured max_lsn")));
  if (lsn + static_cast<Lsn>(S) < cur_lsn.value_or(0))
    return std::unexpected(Error::reportable_bug(
        "caller is responsible for providing segments that contain the initial cur_lsn value or higher"));
  ZLOG(Trace, kTarget, "LogIter::read_segment lsn: {} cur_lsn: {}", lsn, cur_lsn.value_or(0));
  auto header = read_segment_header(*config_.file, lid);
  if (!header) return std::unexpected(header.error());
  if (lid % S != 0) {
    ZLOG(Debug, kTarget, "segment offset not divisible by segment length");
    return std::unexpected(Error::corruption());
  }
  if (header->lsn % static_cast<Lsn>(S) != 0) {
    ZLOG(Debug, kTarget, "expected a segment header lsn that is divisible by the segment_size ({}) instead it was {}",
         S, header->lsn);
    return std::unexpected(Error::corruption());
  }
  if (header->lsn != lsn) {
    ZLOG(Debug, kTarget, "segment header lsn ({}) != expected lsn ({})", header->lsn, lsn);
    return std::unexpected(Error::io(IoError(IoErrorKind::Other, "encountered torn segment")));
  }
  ZLOG(Trace, kTarget, "read segment header {}", header->debug());
  std::vector<uint8_t> image(S, 0);
  auto got = read_up_to_at(*config_.file, image.data(), S, lid);
  if (!got) return std::unexpected(Error::io(got.error()));
  ZLOG(Trace, kTarget, "setting stored segment buffer length to {} after read", *got);
  image.resize(*got);
  cur_lsn = header->lsn + static_cast<Lsn>(kSegHeaderLen);
  segment_base = SegmentImage{std::move(image), lid};
  segments.erase(segments.begin());
  return {};
}

std::optional<LogItem> LogIter::next() {
  const Lsn S = static_cast<Lsn>(config_.segment_size);
  for (;;) {
    Lsn c = cur_lsn.value_or(0);
    Lsn seg_start = c - c % S;
    if (c < seg_start + static_cast<Lsn>(kSegHeaderLen) || c > seg_start + S - static_cast<Lsn>(kMaxMsgHeaderLen))
      segment_base.reset();
    if (!segment_base) {
      if (auto r = read_segment(); !r) {
        ZLOG(Debug, kTarget, "unable to load new segment: {}", r.error().display());
        note_error(r.error());
        return std::nullopt;
      }
    }
    Lsn lsn = *cur_lsn;
    if (max_lsn && lsn > *max_lsn) {
      ZLOG(Debug, kTarget, "hit max_lsn {} in iterator, stopping", *max_lsn);
      return std::nullopt;
    }
    LogOffset lid = segment_base->lid + static_cast<LogOffset>(lsn % S);
    uint64_t expected = static_cast<uint64_t>(lsn / S);
    auto read = read_message_from_image(config_, segment_base->bytes, segment_base->lid, lid, expected);
    if (!read) {
      ZLOG(Debug, kTarget, "failed to read log message at lid {} with expected lsn {} during iteration: {}", lid, lsn,
           read.error().display());
      note_error(read.error());
      return std::nullopt;
    }
    switch (read->kind) {
      case LogRead::Kind::Canceled:
        ZLOG(Trace, kTarget, "read zeroed in LogIter::next");
        *cur_lsn += read->length;
        continue;
      case LogRead::Kind::Cap:
        ZLOG(Trace, kTarget, "read cap in LogIter::next");
        segment_base.reset();  // cur_lsn stays at the Cap; the next load moves it
        continue;
      case LogRead::Kind::Corrupted:
        ZLOG(Trace, kTarget, "read corrupted msg in LogIter::next as lid {} lsn {}", lid, lsn);
        if (skip_segment_on_corruption) {
          segment_base.reset();
          continue;
        }
        return std::nullopt;
      case LogRead::Kind::DanglingBlob:
        ZLOG(Debug, kTarget, "encountered dangling blob pointer at lsn {} ptr {}", lsn, read->blob_id);
        *cur_lsn += read->length;
        continue;
      case LogRead::Kind::BatchManifest:
        if (max_lsn && read->batch_lsn > *max_lsn) {
          ZLOG(Debug, kTarget,
               "cutting recovery short due to torn batch. required stable lsn: {} actual max possible lsn: {}",
               read->batch_lsn, *max_lsn);
          return std::nullopt;
        }
        *cur_lsn += read->length;
        continue;
      case LogRead::Kind::Inline:
        ZLOG(Trace, kTarget, "read inline flush with header {} in LogIter::next", read->header.debug());
        *cur_lsn += read->length;
        return LogItem{*log_kind_of_message(read->header.kind), read->header.pid, lsn, DiskPtr::inline_at(lid),
                       read->length};
      case LogRead::Kind::Blob:
        ZLOG(Trace, kTarget, "read blob flush in LogIter::next");
        *cur_lsn += read->length;
        return LogItem{*log_kind_of_message(read->header.kind), read->header.pid, lsn,
                       DiskPtr::blob_at(lid, read->blob_id), read->length};
    }
  }
}

Result<HeaderScan> scan_segment_headers(Lsn min, const LogConfig& config) {
  const uint64_t S = config.segment_size;
  auto len = config.file->len();
  if (!len) return std::unexpected(Error::io(len.error()));
  uint64_t count = *len / S + (*len % S >= kSegHeaderLen ? 1 : 0);
  ZLOG(Trace, kTarget, "file len: {} segment len {} segments: {}", *len, S, count);

  using Slot = Result<std::optional<std::pair<LogOffset, SegmentHeader>>>;
  std::vector<zudizid::common::OneShot<Slot>::Receiver> waits;
  waits.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    waits.push_back(threadpool::spawn([config, i, min]() -> Slot {
      LogOffset lid = i * config.segment_size;
      auto header = read_segment_header(*config.file, lid);
      if (!header) {
        // A missing or short tail slot is no segment; an OS read error is a
        // failure of the disk, not a torn write.
        if (is_os_error(header.error())) return std::unexpected(header.error());
        return std::nullopt;
      }
      ZLOG(Trace, kTarget, "SA scanned header at lid {} during startup: {}", lid, header->debug());
      if (header->ok && header->lsn >= min) {
        if (header->lsn == INT64_MAX)
          return std::unexpected(Error::reportable_bug("segment header lsn is the largest signed 64-bit value"));
        return std::make_pair(lid, *header);
      }
      ZLOG(Trace, kTarget, "not using segment at lid {}, ok: {} lsn: {} min lsn: {}", lid, header->ok, header->lsn,
           min);
      return std::nullopt;
    }, config.jobs));
  }
  HeaderScan out{{}, min};
  std::optional<Error> first_error;
  for (auto& w : waits) {
    auto got = w.wait();
    if (!got) {
      if (!first_error) first_error = Error::reportable_bug("thread pool should not crash");
      continue;
    }
    if (!*got) {
      if (!first_error) first_error = got->error();
      continue;
    }
    if (!**got) continue;
    auto [lid, header] = ***got;
    if (header.max_stable_lsn > out.max_header_stable_lsn) out.max_header_stable_lsn = header.max_stable_lsn;
    auto [it, fresh] = out.ordering.emplace(header.lsn, lid);
    if (!fresh && it->second != lid && !first_error)
      first_error = Error::reportable_bug(fmt::format(
          "duplicate segment LSN {} detected at both {} and {}, one should have been zeroed out during recovery",
          header.lsn, it->second, lid));
  }
  config.jobs->wait_idle();  // no job still holds the file
  if (first_error) return std::unexpected(*first_error);
  ZLOG(Debug, kTarget, "ordering before clearing tears: {}, max_header_stable_lsn: {}", ordering_debug(out.ordering),
       out.max_header_stable_lsn);
  return out;
}

}  // namespace kelm::pagecache
