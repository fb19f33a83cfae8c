#include "fulltext/directory/managed_directory.h"

#include <fmt/format.h>

#include <mutex>

#include "common/crc32.h"
#include "common/json.h"
#include "common/log.h"
#include "fulltext/common/json_de.h"
#include "fulltext/common/utf8.h"
#include "fulltext/directory/footer.h"

namespace fendral {

const char kManagedFilepath[] = ".managed.json";

namespace json = zudizid::common::json;

static bool is_hidden(std::string_view path) { return !path.empty() && path[0] == '.' && is_valid_utf8(path); }

// Invalid UTF-8 sequences become U+FFFD.
static std::string utf8_lossy(std::span<const uint8_t> bytes) {
  std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  while (!in.empty()) {
    auto err = zudizid::common::validate_utf8(in);
    if (!err) {
      out.append(in);
      break;
    }
    out.append(in.substr(0, err->valid_up_to));
    out.append("\xEF\xBF\xBD");
    size_t skip = err->valid_up_to + (err->error_len ? *err->error_len : in.size() - err->valid_up_to);
    in.remove_prefix(std::min(skip, in.size()));
  }
  return out;
}

Result<ManagedDirectory> ManagedDirectory::wrap(std::unique_ptr<Directory> directory) {
  auto meta = std::make_shared<MetaInformation>();
  auto data = directory->atomic_read(kManagedFilepath);
  if (data) {
    std::string text = utf8_lossy(*data);
    json_de::De de(text);
    auto parsed = [&]() -> json_de::Result<void> {
      int t = de.peek();
      if (t != '[') {
        if (t == json::Reader::kEof) return std::unexpected(de.custom("EOF while parsing a value"));
        auto v = de.value();
        if (!v) return std::unexpected(v.error());
        return std::unexpected(de.invalid_type(*v, "a sequence"));
      }
      auto v = de.value();
      if (!v) return std::unexpected(v.error());
      for (const auto& item : v->as_array()) {
        if (!item.is_string()) return std::unexpected(de.invalid_type(item, "a string"));
        meta->managed_paths.insert(normalize_path(item.as_string()));
      }
      return de.finish();
    }();
    if (!parsed) {
      return fail(FendralError::data_corruption(
          kManagedFilepath, fmt::format("Managed file cannot be deserialized: {}. ", json_de::debug(parsed.error()))));
    }
  } else if (data.error().kind == OpenReadError::Kind::IncompatibleIndex) {
    return fail(FendralError(*data.error().incompatibility));
  } else if (data.error().kind != OpenReadError::Kind::FileDoesNotExist) {
    return fail(FendralError(data.error()));
  }
  return ManagedDirectory(std::move(directory), std::move(meta));
}

std::string ManagedDirectory::debug() const {
  std::shared_lock lock(meta_->mu);
  std::string paths;
  for (const auto& p : meta_->managed_paths) {
    if (!paths.empty()) paths += ", ";
    paths += debug_quote(p);
  }
  return fmt::format("ManagedDirectory {{ directory: {}, meta_informations: RwLock {{ data: MetaInformation {{ "
                     "managed_paths: {{{}}} }} }} }}",
                     directory_->debug(), paths);
}

IoResult<void> save_managed_paths(const Directory& directory, const std::set<std::string>& paths) {
  std::string out;
  out.reserve(128);
  json::Writer w(out);
  w.begin_array();
  for (const auto& p : paths) {
    if (!is_valid_utf8(p)) return io_fail(IoErrorKind::InvalidData, "path contains invalid UTF-8 characters");
    w.string(p);
  }
  w.end_array();
  out.push_back('\n');
  return directory.atomic_write(kManagedFilepath,
                                std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
}

IoResult<void> ManagedDirectory::register_managed_path(const std::string& path) const {
  return register_managed_paths(std::span<const std::string>(&path, 1));
}

IoResult<void> ManagedDirectory::register_managed_paths(std::span<const std::string> paths) const {
  std::unique_lock lock(meta_->mu);
  bool was_empty = meta_->managed_paths.empty();
  bool added = false;
  for (const auto& path : paths) {
    if (!is_hidden(path) && meta_->managed_paths.insert(normalize_path(path)).second) added = true;
  }
  if (!added) return {};
  if (auto r = save_managed_paths(*directory_, meta_->managed_paths); !r) return r;
  if (was_empty) return directory_->sync_directory();
  return {};
}

std::set<std::string> ManagedDirectory::managed_paths() const {
  std::shared_lock lock(meta_->mu);
  return meta_->managed_paths;
}

Result<ManagedDirectory::GarbageCollectionResult> ManagedDirectory::garbage_collect(
    const std::set<std::string>& living_files) const {
  return garbage_collect([&] { return living_files; });
}

Result<ManagedDirectory::GarbageCollectionResult> ManagedDirectory::garbage_collect(
    const std::function<std::set<std::string>()>& living_files) const {
  constexpr const char* kTarget = "fendral::directory::managed_directory";
  ZLOG(Info, kTarget, "Garbage collect");
  std::vector<std::string> candidates;
  {
    std::shared_lock read(meta_->mu);
    auto lock = directory_->acquire_lock(meta_lock());
    if (!lock) {
      ZLOG(Error, kTarget, "Failed to acquire lock for GC");
      return fail(FendralError::lock_failure(lock.error(), std::nullopt));
    }
    candidates.assign(meta_->managed_paths.begin(), meta_->managed_paths.end());
  }
  std::set<std::string> living;
  for (const auto& f : living_files()) living.insert(normalize_path(f));
  std::erase_if(candidates, [&](const std::string& p) { return living.contains(p); });
  GarbageCollectionResult result;
  std::set<std::string> deleted;
  for (const auto& path : candidates) {
    forget_verified(path);
    auto r = directory_->delete_file(path);
    if (r) {
      ZLOG(Info, kTarget, "Deleted {}", debug_quote(path));
      deleted.insert(path);
      result.deleted_files.push_back(path);
    } else if (r.error().kind == DeleteError::Kind::FileDoesNotExist) {
      deleted.insert(path);
      result.deleted_files.push_back(path);
    } else {
      ZLOG(Error, kTarget, "Failed to delete {}", debug_quote(path));
      result.failed_to_delete_files.push_back(path);
    }
  }
  if (!deleted.empty()) {
    if (auto r = forget_managed_paths(deleted); !r) return fail(FendralError(r.error()));
  }
  return result;
}

IoResult<void> ManagedDirectory::forget_managed_paths(const std::set<std::string>& paths) const {
  std::unique_lock lock(meta_->mu);
  for (const auto& p : paths) meta_->managed_paths.erase(normalize_path(p));
  if (auto r = directory_->sync_directory(); !r) return r;
  return save_managed_paths(*directory_, meta_->managed_paths);
}

std::expected<FileSlice, OpenReadError> ManagedDirectory::open_read(const std::string& path) const {
  auto file = directory_->open_read(path);
  if (!file) return std::unexpected(file.error());
  auto split = split_footer(*file);
  if (!split) return std::unexpected(OpenReadError::io(split.error(), path));
  auto& [footer, body] = *split;
  if (!footer.accepts_index_format()) {
    return std::unexpected(
        OpenReadError::incompatible(IndexIncompatibility::format_version_mismatch(engine_version(), footer.version)));
  }
  // The body must hash to the footer's CRC: a damaged file is refused here
  // instead of being decoded. Checked once per file and length.
  std::string key = normalize_path(path) + "#" + std::to_string(file->len());
  {
    std::lock_guard lock(meta_->verified_mu);
    if (meta_->verified.contains(key)) return body;
  }
  auto bytes = body.read_all();
  if (!bytes) return std::unexpected(OpenReadError::io(bytes.error(), path));
  uint32_t crc = zudizid::common::crc32(0, bytes->data(), bytes->len());
  if (crc != footer.crc) {
    return std::unexpected(OpenReadError::io(
        IoError(IoErrorKind::InvalidData,
                fmt::format("File corrupted. The body's CRC-32 {} differs from the footer's {}.", crc, footer.crc)),
        path));
  }
  std::lock_guard lock(meta_->verified_mu);
  meta_->verified.insert(std::move(key));
  return body;
}

std::expected<std::shared_ptr<const FileHandle>, OpenReadError> ManagedDirectory::get_file_handle(
    const std::string& path) const {
  auto body = open_read(path);
  if (!body) return std::unexpected(body.error());
  return std::make_shared<const FileSliceHandle>(std::move(*body));
}

void ManagedDirectory::forget_verified(const std::string& path) const {
  std::string prefix = normalize_path(path) + "#";
  std::lock_guard lock(meta_->verified_mu);
  for (auto it = meta_->verified.lower_bound(prefix); it != meta_->verified.end() && it->rfind(prefix, 0) == 0;) {
    it = meta_->verified.erase(it);
  }
}

std::expected<WriteHandle, OpenWriteError> ManagedDirectory::open_write(const std::string& path) const {
  forget_verified(path);
  if (auto r = register_managed_path(path); !r) return std::unexpected(OpenWriteError::io(r.error(), path));
  auto writer = directory_->open_write(path);
  if (!writer) return std::unexpected(writer.error());
  std::unique_ptr<TerminatingWrite> raw = (*writer)->into_inner();
  return std::make_unique<BufferedWriter>(std::make_unique<FooterProxy>(std::move(raw)));
}

IoResult<void> ManagedDirectory::atomic_write(const std::string& path, std::span<const uint8_t> bytes) const {
  forget_verified(path);
  if (auto r = register_managed_path(path); !r) return r;
  return directory_->atomic_write(path, bytes);
}

}  // namespace fendral
