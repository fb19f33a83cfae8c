#include "kv/pagecache/blob_io.h"

#include <fcntl.h>

#include <charconv>
#include <string>

#include <fmt/format.h>

#include "common/crc32.h"
#include "common/durable_file.h"
#include "common/log.h"
#include "kv/file_io.h"

namespace kelm::pagecache::blob_io {

namespace fs = std::filesystem;
using zudizid::common::IoError;
using zudizid::common::IoErrorKind;

namespace {
constexpr const char* kTarget = "kelm::pagecache::blob_io";

IoError from_ec(const std::error_code& ec) { return IoError::from_os(ec.value()); }
}  // namespace

fs::path blob_path(const fs::path& db_dir, Lsn id) { return db_dir / "blobs" / std::to_string(id); }

Result<void> write_blob(const fs::path& db_dir, Lsn id, MessageKind kind, std::span<const uint8_t> data,
                        bool durable) {
  fs::path path = blob_path(db_dir, id);
  auto f = PosixFile::open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (!f) return std::unexpected(Error::io(f.error()));
  uint8_t head[5];
  uint8_t kb = static_cast<uint8_t>(kind);
  uint32_t crc = zudizid::common::crc32(0, &kb, 1);
  crc = zudizid::common::crc32(crc, data.data(), data.size());
  store_u32_le(head, crc);
  head[4] = kb;
  if (auto r = write_all_at(**f, head, 4, 0); !r) return std::unexpected(Error::io(r.error()));
  if (auto r = write_all_at(**f, head + 4, 1, 4); !r) return std::unexpected(Error::io(r.error()));
  if (auto r = write_all_at(**f, data.data(), data.size(), 5); !r) return std::unexpected(Error::io(r.error()));
  if (durable) {
    if (auto r = (*f)->sync_data(); !r) return std::unexpected(Error::io(r.error()));
    if (auto r = zudizid::common::sync_directory(path.parent_path()); !r) return std::unexpected(Error::io(r.error()));
  }
  return {};
}

Result<LoadedBlob> load_blob(const fs::path& db_dir, Lsn id) {
  fs::path path = blob_path(db_dir, id);
  auto f = PosixFile::open(path, O_RDONLY);
  if (!f) {
    ZLOG(Debug, kTarget, "failed to open file for blob read at {}: {}", path.string(), f.error().display());
    return std::unexpected(Error::io(f.error()));
  }
  uint8_t head[5];
  auto r = read_all_at(**f, head, 4, 0);
  if (r) r = read_all_at(**f, head + 4, 1, 4);
  if (!r) {
    ZLOG(Debug, kTarget, "failed to read the initial CRC bytes in the blob at {}: {}", path.string(),
         r.error().display());
    return std::unexpected(Error::io(r.error()));
  }
  auto len = (*f)->len();
  if (!len) {
    ZLOG(Debug, kTarget, "failed to read data after the CRC bytes in blob at {}: {}", path.string(),
         len.error().display());
    return std::unexpected(Error::io(len.error()));
  }
  LoadedBlob out;
  uint64_t rest = *len > 5 ? *len - 5 : 0;
  try {
    out.data.resize(rest);
  } catch (const std::bad_alloc&) {
    IoError oom(IoErrorKind::OutOfMemory, "failed to reserve blob buffer");
    ZLOG(Debug, kTarget, "failed to read data after the CRC bytes in blob at {}: {}", path.string(), oom.display());
    return std::unexpected(Error::io(oom));
  }
  auto got = read_up_to_at(**f, out.data.data(), out.data.size(), 5);
  if (!got) {
    ZLOG(Debug, kTarget, "failed to read data after the CRC bytes in blob at {}: {}", path.string(),
         got.error().display());
    return std::unexpected(Error::io(got.error()));
  }
  out.data.resize(*got);
  uint32_t crc = zudizid::common::crc32(0, head + 4, 1);
  crc = zudizid::common::crc32(crc, out.data.data(), out.data.size());
  if (crc != load_u32_le(head)) {
    ZLOG(Warn, kTarget, "blob {} failed crc check!", id);
    return std::unexpected(Error::corruption(DiskPtr::blob_at(0, id)));
  }
  out.kind = message_kind_from_byte(head[4]);
  return out;
}

void remove_blob(const fs::path& db_dir, Lsn id) {
  fs::path path = blob_path(db_dir, id);
  std::error_code ec;
  if (!fs::remove(path, ec)) {
    IoError e = ec ? from_ec(ec) : IoError::from_os(ENOENT);
    ZLOG(Debug, kTarget, "removing blob at {} failed: {}", path.string(), e.display());
  } else {
    ZLOG(Trace, kTarget, "successfully removed blob at {}", path.string());
  }
}

Result<void> gc_blobs(const fs::path& db_dir, Lsn stable_lsn) {
  std::error_code ec;
  fs::directory_iterator it(db_dir / "blobs", ec);
  if (ec) return std::unexpected(Error::io(from_ec(ec)));
  ZLOG(Debug, kTarget, "gc_blobs removing any blob with an lsn above {}", stable_lsn);
  std::vector<fs::path> doomed;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::unexpected(Error::io(from_ec(ec)));
    const fs::path& p = it->path();
    std::string name = p.filename().string();
    const char* first = name.data();
    const char* last = name.data() + name.size();
    if (first != last && *first == '+') ++first;
    Lsn id = 0;
    auto [ptr, err] = std::from_chars(first, last, id);
    if (err != std::errc() || ptr != last || first == last || (name[0] == '+' && first < last && *first == '-')) {
      std::string why = err == std::errc::result_out_of_range ? "number too large to fit in target type"
                                                              : "invalid digit found in string";
      if (name.empty() || first == last) why = "cannot parse integer from empty string";
      ZLOG(Warn, kTarget, "blobs directory contains unparsable path ({}): {}", p.string(), why);
      continue;
    }
    if (id >= stable_lsn) doomed.push_back(p);
  }
  if (!doomed.empty()) {
    std::string list;
    for (const auto& p : doomed) list += (list.empty() ? "" : ", ") + zudizid::common::debug_quote(p.string());
    ZLOG(Warn, kTarget, "removing {} blobs that have a higher lsn than our stable log: [{}]", doomed.size(), list);
    for (const auto& p : doomed) {
      if (!fs::remove(p, ec) && ec) return std::unexpected(Error::io(from_ec(ec)));
    }
  }
  return {};
}

}  // namespace kelm::pagecache::blob_io
