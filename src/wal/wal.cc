#include "wal/wal.h"

#include <filesystem>

#include "common/log.h"
#include "common/uuid.h"
#include "wal/frame.h"

namespace zudizid::wal {

namespace {

constexpr const char* kTarget = "zudizid::wal";

DbError to_db_error(FrameScanError e) {
  if (auto* io = std::get_if<common::IoError>(&e)) return DbError(std::move(*io));
  return DbError(common::IoError(common::IoErrorKind::InvalidData, std::get<FrameCorruption>(e).message()));
}

// Decodes into `out` when given; only checks otherwise.
FrameDecoder record_decoder(std::vector<WalRecord>* out) {
  return [out](std::string_view payload, bool keep) -> std::expected<void, std::string> {
    auto record = WalRecord::from_json(payload);
    if (!record) return std::unexpected(record.error().to_string());
    if (keep && out != nullptr) out->push_back(std::move(*record));
    return {};
  };
}

}  // namespace

std::filesystem::path in_memory_wal_path() {
  return std::filesystem::temp_directory_path() / fmt::format("zovov--{}.wal", common::Uuid::new_v4().to_string());
}

DbResult<std::unique_ptr<Wal>> Wal::open(const std::filesystem::path& path) {
  auto file = WalFile::open(path, record_decoder(nullptr));
  if (!file) return std::unexpected(to_db_error(std::move(file.error())));
  return std::unique_ptr<Wal>(new Wal(std::move(*file)));
}

DbResult<std::uint64_t> Wal::append_batch(std::span<const WalRecord> records) {
  std::string batch;
  std::string json;
  for (const WalRecord& record : records) {
    if (auto ok = record.validate_for_log(); !ok) return std::unexpected(std::move(ok.error()));
    json.clear();
    record.to_json(json);
    append_frame(batch, json);
  }
  auto at = file_->append(batch, records.size());
  if (!at) return std::unexpected(DbError(std::move(at.error())));
  return *at;
}

DbResult<std::vector<WalRecord>> Wal::read_all() {
  std::vector<WalRecord> records;
  auto scanned = file_->scan(record_decoder(&records));
  if (!scanned) return std::unexpected(to_db_error(std::move(scanned.error())));
  ZLOG(Info, kTarget, "Read {} records from WAL", records.size());
  return records;
}

void Wal::flush() { file_->flush(); }

DbResult<WalScan> Wal::scan(int fd) {
  WalScan out;
  auto scanned = scan_frames(fd, record_decoder(&out.records));
  if (!scanned) return std::unexpected(to_db_error(std::move(scanned.error())));
  out.valid_end = scanned->valid_end;
  return out;
}

}  // namespace zudizid::wal
