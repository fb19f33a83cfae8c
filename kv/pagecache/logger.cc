#include "kv/pagecache/logger.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "common/log.h"
#include "kv/pagecache/blob_io.h"

namespace kelm::pagecache {

using zudizid::common::IoError;
using zudizid::common::IoErrorKind;

namespace {
constexpr const char* kTarget = "kelm::pagecache::logger";
constexpr size_t kWindow = 128;

// Where message bytes come from: the file or a segment image.
struct Source {
  virtual ~Source() = default;
  // Fills the 128-byte window at lid; missing bytes stay zero.
  virtual IoResult<void> window(LogOffset lid, uint8_t* out) = 0;
  // Reads exactly n bytes at lid.
  virtual IoResult<void> exact(LogOffset lid, uint8_t* out, size_t n) = 0;
};

struct FileSource final : Source {
  File& file;
  explicit FileSource(File& f) : file(f) {}
  IoResult<void> window(LogOffset lid, uint8_t* out) override {
    auto r = read_up_to_at(file, out, kWindow, lid);
    if (!r) return std::unexpected(r.error());
    return {};
  }
  IoResult<void> exact(LogOffset lid, uint8_t* out, size_t n) override { return read_all_at(file, out, n, lid); }
};

struct ImageSource final : Source {
  std::span<const uint8_t> image;
  LogOffset base;
  ImageSource(std::span<const uint8_t> i, LogOffset b) : image(i), base(b) {}
  static IoError eof() { return IoError(IoErrorKind::UnexpectedEof, "failed to fill buffer"); }
  IoResult<void> window(LogOffset lid, uint8_t* out) override {
    if (lid < base || lid - base > image.size()) return std::unexpected(eof());
    size_t at = lid - base;
    size_t n = std::min(kWindow, image.size() - at);
    std::memcpy(out, image.data() + at, n);
    return {};
  }
  IoResult<void> exact(LogOffset lid, uint8_t* out, size_t n) override {
    if (lid < base || lid - base > image.size() || image.size() - (lid - base) < n) return std::unexpected(eof());
    std::memcpy(out, image.data() + (lid - base), n);
    return {};
  }
};

Result<LogRead> read_impl(const LogConfig& config, Source& src, LogOffset lid, uint64_t expected) {
  const uint64_t seg = config.segment_size;
  LogOffset seg_start = lid - lid % seg;
  LogOffset ceiling = seg_start + seg;
  ZLOG(Trace, kTarget, "reading message from segment: {} at lid: {}", seg_start, lid);
  if (seg_start + kSegHeaderLen > lid)
    return std::unexpected(Error::reportable_bug("assertion failed: seg_start + SEG_HEADER_LEN as LogOffset <= lid"));
  if (ceiling - lid < kMaxMsgHeaderLen)
    return std::unexpected(Error::reportable_bug("tried to read a message from the red zone"));

  uint8_t buf[kWindow] = {};
  if (auto r = src.window(lid, buf); !r) return std::unexpected(Error::io(r.error()));
  auto parsed = MessageHeader::deserialize({buf, kWindow});
  if (!parsed) return std::unexpected(parsed.error());
  const MessageHeader& h = parsed->header;
  const size_t hl = parsed->size;
  ZLOG(Trace, kTarget, "read message header at lid {}: {}", lid, h.debug());

  if (h.len > ceiling - lid - hl) {
    ZLOG(Trace, kTarget, "read a corrupted message with impossibly long length {}", h.len);
    return LogRead::corrupted();
  }
  if (h.kind == MessageKind::Corrupted) {
    ZLOG(Trace, kTarget, "read a corrupted message with Corrupted MessageKind: {}", message_kind_name(h.kind));
    return LogRead::corrupted();
  }
  std::vector<uint8_t> body(h.len);
  if (h.len <= kWindow - hl) {
    if (h.len != 0) std::memcpy(body.data(), buf + hl, h.len);
  } else if (auto r = src.exact(lid + hl, body.data(), h.len); !r) {
    return std::unexpected(Error::io(r.error()));
  }
  uint32_t crc = message_crc(body, {buf + 4, hl - 4});
  if (crc != h.crc32) {
    ZLOG(Trace, kTarget, "read a message with a bad checksum with header {}", h.debug());
    return LogRead::corrupted();
  }
  if (h.segment_number != expected) {
    ZLOG(Debug, kTarget, "header {} does not contain expected segment_number {}", h.debug(), expected);
    return LogRead::corrupted();
  }
  LogRead out;
  out.length = static_cast<uint32_t>(hl + h.len);
  switch (h.kind) {
    case MessageKind::Canceled:
      ZLOG(Trace, kTarget, "read failed of len {}", h.len);
      out.kind = LogRead::Kind::Canceled;
      return out;
    case MessageKind::Cap:
      ZLOG(Trace, kTarget, "read pad in segment number {}", h.segment_number);
      out.kind = LogRead::Kind::Cap;
      out.segment_number = h.segment_number;
      return out;
    case MessageKind::BatchManifest:
      if (h.len != 8) return std::unexpected(Error::reportable_bug("batch manifest body is not 8 bytes"));
      out.kind = LogRead::Kind::BatchManifest;
      out.batch_lsn = static_cast<Lsn>(load_u64_le(body.data()));
      return out;
    case MessageKind::BlobMeta:
    case MessageKind::BlobNode:
    case MessageKind::BlobLink: {
      if (h.len != 8) return std::unexpected(Error::reportable_bug("blob message body is not 8 bytes"));
      Lsn id = static_cast<Lsn>(load_u64_le(body.data()));
      auto blob = blob_io::load_blob(config.path, id);
      if (!blob) {
        const auto* io = blob.error().get_if<Error::Io>();
        if (io && io->error.kind() == IoErrorKind::NotFound) {
          ZLOG(Debug, kTarget, "underlying blob file not found for blob {} in segment number {}", id,
               h.segment_number);
          out.kind = LogRead::Kind::DanglingBlob;
          out.header = h;
          out.blob_id = id;
          return out;
        }
        ZLOG(Debug, kTarget, "failed to read blob: {}", blob.error().display());
        return std::unexpected(blob.error());
      }
      if (blob->kind != h.kind)
        return std::unexpected(Error::reportable_bug(fmt::format("blob {} has kind {} but its message has kind {}", id,
                                                                 message_kind_name(blob->kind),
                                                                 message_kind_name(h.kind))));
      ZLOG(Trace, kTarget, "read a successful blob message for blob {} in segment number {}", id, h.segment_number);
      out.kind = LogRead::Kind::Blob;
      out.header = h;
      out.data = std::move(blob->data);
      out.blob_id = id;
      return out;
    }
    default:
      ZLOG(Trace, kTarget, "read a successful inline message");
      out.kind = LogRead::Kind::Inline;
      out.header = h;
      out.data = std::move(body);
      return out;
  }
}

std::string bytes_debug(const std::vector<uint8_t>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]);
  return s + "]";
}

}  // namespace

std::string LogRead::debug() const {
  switch (kind) {
    case Kind::Inline: return fmt::format("Inline({}, {}, {})", header.debug(), bytes_debug(data), length);
    case Kind::Blob: return fmt::format("Blob({}, {}, {}, {})", header.debug(), bytes_debug(data), blob_id, length);
    case Kind::Canceled: return fmt::format("Canceled({})", length);
    case Kind::Cap: return fmt::format("Cap(SegmentNumber({}))", segment_number);
    case Kind::Corrupted: return "Corrupted";
    case Kind::DanglingBlob: return fmt::format("DanglingBlob({}, {}, {})", header.debug(), blob_id, length);
    case Kind::BatchManifest: return fmt::format("BatchManifest({}, {})", batch_lsn, length);
  }
  return "Corrupted";
}

Result<SegmentHeader> read_segment_header(File& file, LogOffset lid) {
  ZLOG(Trace, kTarget, "reading segment header at {}", lid);
  uint8_t buf[kSegHeaderLen];
  if (auto r = read_all_at(file, buf, kSegHeaderLen, lid); !r) return std::unexpected(Error::io(r.error()));
  SegmentHeader h = decode_segment_header(buf);
  if (h.lsn < static_cast<Lsn>(lid))
    ZLOG(Debug, kTarget, "segment had lsn {} but we expected something greater, as the base lid is {}", h.lsn, lid);
  return h;
}

Result<LogRead> read_message(const LogConfig& config, LogOffset lid, uint64_t expected_segment_number) {
  FileSource src(*config.file);
  return read_impl(config, src, lid, expected_segment_number);
}

Result<LogRead> read_message_from_image(const LogConfig& config, std::span<const uint8_t> image, LogOffset image_lid,
                                        LogOffset lid, uint64_t expected_segment_number) {
  ImageSource src(image, image_lid);
  return read_impl(config, src, lid, expected_segment_number);
}

}  // namespace kelm::pagecache
