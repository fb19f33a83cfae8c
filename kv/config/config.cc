#include "kv/config/config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "common/crc32.h"
#include "common/durable_file.h"
#include "common/log.h"
#include "kv/config/memory_cap.h"
#include "kv/db.h"

namespace kelm::config {

namespace fs = std::filesystem;
using zudizid::common::IoError;
using zudizid::common::IoErrorKind;

namespace {

std::atomic<uint64_t> g_salt_counter{0};
std::mutex g_owner_mu;

fs::path make_tmp_path() {
  using unsigned128 = unsigned __int128;
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  unsigned128 salt = (static_cast<unsigned128>(static_cast<uint64_t>(nanos)) << 48) +
                     (static_cast<unsigned128>(static_cast<uint64_t>(getpid())) << 16) +
                     static_cast<unsigned128>(g_salt_counter.fetch_add(1));
  std::string digits;
  if (salt == 0) digits = "0";
  while (salt) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(salt % 10)));
    salt /= 10;
  }
  return fs::path("/dev/shm/pagecache.tmp." + digits);
}

// A temporary record shares one owner of its directory with every copy made
// from it, so the directory goes only with the last of them.
void refresh_owner(Inner& in) {
  std::lock_guard lk(g_owner_mu);
  if (!in.temporary) {
    in.temp_owner.reset();
    return;
  }
  fs::path dir = in.get_path();
  if (!in.temp_owner || in.temp_owner->dir() != dir) in.temp_owner = std::make_shared<TempDirOwner>(dir);
}

std::optional<uint64_t> parse_u64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c >> 5) == 6) { n = 1; cp = c & 0x1F; }
    else if ((c >> 4) == 14) { n = 2; cp = c & 0x0F; }
    else if ((c >> 3) == 30) { n = 3; cp = c & 0x07; }
    else return false;
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

Error corrupt_logged(const std::string& msg) {
  ZLOG(Error, "kelm::config", "{}", msg);
  return Error::corruption();
}

// The conf file is written to a temporary name, synced, renamed over `conf`
// and the directory synced, so a crash never leaves a half-written conf.
Result<void> write_conf(const Inner& in) {
  fs::path dir = in.get_path();
  std::string text = conf_text(in);
  uint32_t crc = zudizid::common::crc32(std::string_view(text));
  std::vector<uint8_t> bytes(text.begin(), text.end());
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  auto w = zudizid::common::write_file_durably(dir / "conf", bytes);  // temporary "conf.tmp"
  if (!w) return std::unexpected(Error::io(std::move(w.error().error)));
  return {};
}

// none: no stored parameters.
Result<std::optional<StoredParameters>> read_conf(const Inner& in) {
  fs::path p = in.get_path() / "conf";
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<StoredParameters>();
    return std::unexpected(Error::last_os_error());
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st{};
  if (::fstat(fd, &st) != 0) return std::unexpected(Error::last_os_error());
  if (st.st_size <= 8) {
    ZLOG(Warn, "kelm::config", "empty/corrupt configuration file found");
    return std::optional<StoredParameters>();
  }
  std::vector<uint8_t> buf(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < buf.size()) {
    ssize_t r = ::pread(fd, buf.data() + got, buf.size() - got, static_cast<off_t>(got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::last_os_error());
    }
    if (r == 0) return std::unexpected(Error::io(IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer")));
    got += static_cast<size_t>(r);
  }
  size_t text_len = buf.size() - 4;
  uint32_t stored = buf[text_len] | (buf[text_len + 1] << 8) | (buf[text_len + 2] << 16) |
                    (static_cast<uint32_t>(buf[text_len + 3]) << 24);
  uint32_t crc = zudizid::common::crc32(0, buf.data(), text_len);
  if (crc != stored) {
    ZLOG(Warn, "kelm::config", "crc for settings file {} failed! can't verify that config is safe",
         zudizid::common::debug_quote(p.string()));
  }
  auto sp = StoredParameters::parse(std::span<const uint8_t>(buf.data(), text_len));
  if (!sp) return std::unexpected(sp.error());
  return std::optional<StoredParameters>(*sp);
}

}  // namespace

// ---- GlobalErrorSlot -------------------------------------------------------

std::optional<Error> GlobalErrorSlot::get() const {
  if (!is_set()) return std::nullopt;
  std::lock_guard lk(mu_);
  if (!err_) return std::nullopt;
  return err_->clone();
}

void GlobalErrorSlot::set(const Error& e) {
  std::lock_guard lk(mu_);
  if (err_) return;
  err_ = e.clone();
  set_.store(true, std::memory_order_release);
}

void GlobalErrorSlot::clear() {
  std::lock_guard lk(mu_);
  err_.reset();
  set_.store(false, std::memory_order_release);
}

TempDirOwner::~TempDirOwner() {
  ZLOG(Debug, "kelm::config", "removing temporary storage file {}", zudizid::common::debug_quote(dir_.string()));
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

// ---- Inner -----------------------------------------------------------------

fs::path Inner::get_path() const {
  if (temporary && path.lexically_normal() == fs::path("default.kelm").lexically_normal()) return tmp_path;
  return path;
}

Result<std::vector<fs::path>> Inner::get_snapshot_files() const {
  std::error_code ec;
  fs::path prefix = get_path() / "snap.";
  if (!prefix.is_absolute()) {
    fs::path cwd = fs::current_path(ec);
    if (ec) return std::unexpected(Error::io(IoError::from_os(ec.value())));
    prefix = cwd / prefix;
  }
  fs::path dir = prefix.parent_path();
  if (!fs::exists(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) return std::unexpected(Error::io(IoError::from_os(ec.value())));
  }
  fs::directory_iterator it(dir, ec);
  if (ec) return std::unexpected(Error::io(IoError::from_os(ec.value())));
  std::string pre = prefix.string();
  std::vector<fs::path> out;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string full = it->path().string();
    if (full.rfind(pre, 0) != 0) continue;
    // Only finished snapshots: files still being written (or left behind by
    // an interrupted write) are never loaded.
    auto ends = [&](std::string_view suf) {
      return full.size() >= suf.size() && full.compare(full.size() - suf.size(), suf.size(), suf) == 0;
    };
    if (ends(".generating") || ends(".in___motion")) continue;
    out.push_back(it->path());
  }
  return out;
}

std::string Inner::debug() const {
  auto q = [](const fs::path& p) { return zudizid::common::debug_quote(p.string()); };
  return fmt::format(
      "Inner {{ cache_capacity: {}, flush_every_ms: {}, segment_size: {}, path: {}, create_new: {}, mode: {}, "
      "temporary: {}, use_compression: {}, compression_factor: {}, print_profile_on_drop: {}, "
      "idgen_persist_interval: {}, version: ({}, {}), tmp_path: {}, global_error: {} }}",
      cache_capacity, flush_every_ms ? "Some(" + std::to_string(*flush_every_ms) + ")" : std::string("None"),
      segment_size, q(path), create_new, mode == Mode::LowSpace ? "LowSpace" : "HighThroughput", temporary,
      use_compression, compression_factor, print_profile_on_drop, idgen_persist_interval, version.first,
      version.second, q(tmp_path), fmt::ptr(global_error.get()));
}

std::string conf_text(const Inner& in) {
  return "segment_size: " + std::to_string(in.segment_size) + "\nuse_compression: " +
         (in.use_compression ? "true" : "false") + "\nversion: " + std::to_string(in.version.first) + "." +
         std::to_string(in.version.second) + "\n";
}

// ---- StoredParameters ------------------------------------------------------

Result<StoredParameters> StoredParameters::parse(std::span<const uint8_t> bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  std::map<std::string, std::string> kv;
  for (auto line : lines) {
    if (!valid_utf8(line)) {
      ZLOG(Error, "kelm::config", "failed to parse persisted config as UTF-8. This changed in kelm version 0.29");
      return std::unexpected(
          Error::unsupported("failed to open database that may have been created using a kelm version earlier than 0.29"));
    }
    size_t sep = line.find(": ");
    if (sep == std::string_view::npos) return std::unexpected(corrupt_logged(fmt::format("failed to parse persisted config line: {}", line)));
    std::string_view key = line.substr(0, sep);
    std::string_view rest = line.substr(sep + 2);
    std::string_view value = rest.substr(0, rest.find(": "));
    kv[std::string(key)] = std::string(value);
  }
  StoredParameters sp;
  auto need = [&](const char* key) -> const std::string* {
    auto it = kv.find(key);
    return it == kv.end() ? nullptr : &it->second;
  };
  const std::string* v = need("segment_size");
  if (!v) return std::unexpected(corrupt_logged("failed to retrieve required configuration parameter: segment_size"));
  auto ss = parse_u64(*v);
  if (!ss) return std::unexpected(corrupt_logged("failed to parse segment_size value: " + *v));
  sp.segment_size = *ss;
  v = need("use_compression");
  if (!v) return std::unexpected(corrupt_logged("failed to retrieve required configuration parameter: use_compression"));
  if (*v == "true") sp.use_compression = true;
  else if (*v == "false") sp.use_compression = false;
  else return std::unexpected(corrupt_logged("failed to parse use_compression value: " + *v));
  v = need("version");
  if (!v) return std::unexpected(corrupt_logged("failed to retrieve required configuration parameter: version"));
  size_t dot = v->find('.');
  auto major = parse_u64(std::string_view(*v).substr(0, dot));
  if (!major) return std::unexpected(corrupt_logged("failed to parse major version value from line: " + *v));
  if (dot == std::string::npos) return std::unexpected(corrupt_logged("failed to parse minor version value: " + *v));
  std::string_view rest = std::string_view(*v).substr(dot + 1);
  auto minor = parse_u64(rest.substr(0, rest.find('.')));
  if (!minor) return std::unexpected(corrupt_logged("failed to parse minor version value from line: " + *v));
  sp.version = {*major, *minor};
  return sp;
}

// ---- Config ----------------------------------------------------------------

Config::Config() : inner_(std::make_shared<Inner>()) { inner_->tmp_path = make_tmp_path(); }

Inner& Config::inner_mut() {
  if (inner_.use_count() != 1) inner_ = std::make_shared<Inner>(*inner_);  // shares global_error and temp owner
  return *inner_;
}

namespace {
void warn_shared(const Config& c) {
  if (c.is_shared())
    ZLOG(Error, "kelm::config", "config has already been used to start the system and probably should not be mutated");
}
}  // namespace

Config& Config::path(fs::path p) {
  // Setting the path on a record an engine shares is a broken caller
  // contract; we copy instead of mutating the shared record.
  Inner& in = inner_mut();
  in.path = std::move(p);
  refresh_owner(in);
  return *this;
}
Config& Config::cache_capacity(uint64_t v) {
  warn_shared(*this);
  inner_mut().cache_capacity = v;
  return *this;
}
Config& Config::flush_every_ms(std::optional<uint64_t> v) {
  warn_shared(*this);
  inner_mut().flush_every_ms = v;
  return *this;
}
Config& Config::use_compression(bool v) {
  warn_shared(*this);
  inner_mut().use_compression = v;
  return *this;
}
Config& Config::temporary(bool v) {
  warn_shared(*this);
  Inner& in = inner_mut();
  in.temporary = v;
  refresh_owner(in);
  return *this;
}
Config& Config::segment_size(uint64_t v) {
  warn_shared(*this);
  inner_mut().segment_size = v;
  return *this;
}
Config& Config::create_new(bool v) {
  warn_shared(*this);
  inner_mut().create_new = v;
  return *this;
}
Config& Config::compression_factor(int32_t v) {
  warn_shared(*this);
  inner_mut().compression_factor = v;
  return *this;
}
Config& Config::idgen_persist_interval(uint64_t v) {
  warn_shared(*this);
  inner_mut().idgen_persist_interval = v;
  return *this;
}
Config& Config::log_backend(std::shared_ptr<pagecache::LogBackend> backend) {
  warn_shared(*this);
  inner_mut().log_backend = std::move(backend);
  return *this;
}

Result<void> validate(const Inner& in) {
  auto bad = [](const char* t) { return std::unexpected(Error::unsupported(t)); };
  if (in.segment_size == 0 || (in.segment_size & (in.segment_size - 1)) != 0)
    return bad("segment_size should be a power of 2");
  if (in.segment_size < 256) return bad("segment_size should be hundreds of kb at minimum, and we won't start if below 256");
  if (in.segment_size > 16777216) return bad("segment_size should be <= 16mb");
  if (in.use_compression) return bad("the 'compression' feature must be enabled");
  if (in.compression_factor < 1) return bad("compression_factor must be >= 1");
  if (in.compression_factor > 22) return bad("compression_factor must be <= 22");
  if (in.idgen_persist_interval == 0) return bad("idgen_persist_interval must be above 0");
  return {};
}

Result<Db> Config::open() const {
  if (auto v = validate(*inner_); !v) return std::unexpected(v.error());
  if (inner_->temporary) refresh_owner(*inner_);  // before any copy, so copies share the owner
  Config engine = *this;
  uint64_t cap = capped_cache_capacity(engine->cache_capacity, kCgroupLimitFile);
  if (cap != engine->cache_capacity) {
    engine.inner_mut().cache_capacity = cap;
    ZLOG(Error, "kelm::config", "cache capacity is limited to the cgroup memory limit: {} bytes", cap);
  }
  fs::path dir = engine->get_path();
  std::error_code ec;
  if (!fs::exists(dir / "blobs", ec)) {
    fs::create_directories(dir / "blobs", ec);
    if (ec) return std::unexpected(Error::io(IoError::from_os(ec.value())));
  }
  auto stored = read_conf(engine.inner());
  if (!stored) return std::unexpected(stored.error());
  if (!*stored) {
    if (auto w = write_conf(engine.inner()); !w) return std::unexpected(w.error());
  } else {
    const StoredParameters& p = **stored;
    if (p.use_compression != engine->use_compression)
      return std::unexpected(Error::unsupported(fmt::format(
          "cannot change compression values across restarts. old value of use_compression loaded from disk: {}, "
          "currently set value: {}.",
          p.use_compression, engine->use_compression)));
    if (p.segment_size != engine->segment_size)
      return std::unexpected(Error::unsupported(
          fmt::format("cannot change the io buffer size across restarts. please change it back to {}", p.segment_size)));
    if (p.version != engine->version)
      return std::unexpected(Error::unsupported(fmt::format(
          "This database was created using pagecache version {}.{}, but our pagecache version is {}.{}. Please "
          "perform an upgrade using the kelm::Db::export and kelm::Db::import methods.",
          p.version.first, p.version.second, engine->version.first, engine->version.second)));
  }
  fs::path db = dir / "db";
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | (engine->create_new ? O_EXCL : 0);
  int fd = ::open(db.c_str(), flags, 0666);
  if (fd < 0) return std::unexpected(Error::last_os_error());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    IoError os = zudizid::common::last_os_error();
    ::close(fd);
    return std::unexpected(Error::io(IoError(
        IoErrorKind::Other,
        fmt::format("could not acquire lock on {}: {}", zudizid::common::debug_quote(db.string()), os.debug()))));
  }
  RunningConfig rc{engine, std::make_shared<LogFile>(fd, db)};
  return Db::start(std::move(rc));
}

// ---- LogFile / RunningConfig ----------------------------------------------

LogFile::~LogFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> RunningConfig::global_error() const {
  if (auto e = inner->global_error->get()) return std::unexpected(std::move(*e));
  return {};
}

void RunningConfig::set_global_error(const Error& e) const { inner->global_error->set(e); }

}  // namespace kelm::config
