#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "common/log.h"
#include "kv/config/memory_cap.h"
#include "kv_test_util.h"

namespace kelm::config {
namespace {

namespace fs = std::filesystem;
using kelm::testing::fresh_dir;

std::vector<uint8_t> read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}
void write_file(const fs::path& p, std::string_view bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
std::string open_error(const Config& c) {
  auto db = c.open();
  return db ? "" : db.error().display();
}
Config on(const fs::path& dir) {
  Config c;
  c.path(dir).flush_every_ms(std::nullopt);
  return c;
}

TEST(ConfigDefaults, NewRecord) {
  Config c;
  EXPECT_EQ(c->cache_capacity, 1073741824u);
  EXPECT_EQ(c->flush_every_ms, std::optional<uint64_t>(500));
  EXPECT_EQ(c->segment_size, 524288u);
  EXPECT_EQ(c->path, fs::path("default.kelm"));
  EXPECT_EQ(c->compression_factor, 5);
  EXPECT_EQ(c->idgen_persist_interval, 1000000u);
  EXPECT_EQ(c->version, (std::pair<uint64_t, uint64_t>{0, 34}));
  EXPECT_FALSE(c->temporary || c->use_compression || c->create_new || c->print_profile_on_drop);
  EXPECT_EQ(c->mode, Mode::LowSpace);
  EXPECT_TRUE(c->tmp_path.string().starts_with("/dev/shm/pagecache.tmp."));
  Config d;
  EXPECT_NE(c->tmp_path, d->tmp_path);
}

TEST(ConfigValidation, MessagesInOrder) {
  struct Case {
    std::function<void(Config&)> set;
    std::string error;  // "" passes validation
  };
  const std::string seg_pow = "Unsupported: segment_size should be a power of 2";
  const Case cases[] = {
      {[](Config& c) { c.segment_size(0); }, seg_pow},
      {[](Config& c) { c.segment_size(128); },
       "Unsupported: segment_size should be hundreds of kb at minimum, and we won't start if below 256"},
      {[](Config& c) { c.segment_size(256); }, ""},
      {[](Config& c) { c.segment_size(16777216); }, ""},
      {[](Config& c) { c.segment_size(33554432); }, "Unsupported: segment_size should be <= 16mb"},
      {[](Config& c) { c.use_compression(true); }, "Unsupported: the 'compression' feature must be enabled"},
      {[](Config& c) { c.compression_factor(0); }, "Unsupported: compression_factor must be >= 1"},
      {[](Config& c) { c.compression_factor(23); }, "Unsupported: compression_factor must be <= 22"},
      {[](Config& c) { c.compression_factor(1); }, ""},
      {[](Config& c) { c.compression_factor(22); }, ""},
      {[](Config& c) { c.idgen_persist_interval(0); }, "Unsupported: idgen_persist_interval must be above 0"},
      {[](Config& c) { c.segment_size(100).use_compression(true).idgen_persist_interval(0); }, seg_pow},
  };
  for (const auto& c : cases) {
    Config cfg;
    c.set(cfg);
    auto v = validate(cfg.inner());
    EXPECT_EQ(v ? "" : v.error().display(), c.error);
  }
}

TEST(ConfigConfFile, BytesCrcAndReopen) {
  auto dir = fresh_dir("conf");
  {
    auto db = on(dir).open();
    ASSERT_TRUE(db) << db.error().display();
    EXPECT_TRUE(fs::is_directory(dir / "blobs"));
    EXPECT_TRUE(fs::exists(dir / "db"));
  }
  auto bytes = read_file(dir / "conf");
  std::string text = "segment_size: 524288\nuse_compression: false\nversion: 0.34\n";
  std::vector<uint8_t> want(text.begin(), text.end());
  // zlib.crc32 of the text, little-endian (computed with Python's zlib).
  for (uint8_t b : {118, 25, 81, 193}) want.push_back(b);
  EXPECT_EQ(bytes.size(), 62u);
  EXPECT_EQ(bytes, want);
  EXPECT_FALSE(fs::exists(dir / "conf.tmp"));
  struct stat before{}, after{};
  ::stat((dir / "conf").c_str(), &before);
  ASSERT_TRUE(on(dir).open());
  ::stat((dir / "conf").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);  // read back, not rewritten
  EXPECT_EQ(open_error(on(dir).segment_size(1 << 20)),
            "Unsupported: cannot change the io buffer size across restarts. please change it back to 524288");
}

TEST(ConfigConfFile, DamagedFiles) {
  auto dir = fresh_dir("damaged");
  ASSERT_TRUE(on(dir).open());
  std::string text = "segment_size: 524288\nuse_compression: false\nversion: 0.34\n";
  {
    zudizid::log::ScopedCapture cap(zudizid::log::Level::Warn);
    write_file(dir / "conf", text + "XXXX");  // wrong CRC: warns, opens
    ASSERT_TRUE(on(dir).open());
    bool warned = false;
    for (auto& r : cap.records()) warned |= r.message.starts_with("crc for settings file ");
    EXPECT_TRUE(warned);
  }
  write_file(dir / "conf", "12345678");  // 8 bytes: treated as absent and rewritten
  ASSERT_TRUE(on(dir).open());
  EXPECT_EQ(read_file(dir / "conf").size(), 62u);
  write_file(dir / "conf", "abcde1234");  // 5 bytes of text: a line without separator
  EXPECT_EQ(open_error(on(dir)), "Read corrupted data at file offset None backtrace ()");
  // An interrupted conf write leaves only the temporary file behind.
  auto fresh = fresh_dir("interrupted");
  fs::create_directories(fresh);
  write_file(fresh / "conf.tmp", "segment_size: 52");
  ASSERT_TRUE(on(fresh).open());
  EXPECT_EQ(read_file(fresh / "conf").size(), 62u);
}

TEST(ConfigConfFile, ParseVariants) {
  struct Case {
    std::string text;
    std::string error;  // "" parses
    uint64_t segment = 0;
  };
  const Case cases[] = {
      {"version: 0.34\nuse_compression: false\nsegment_size: 256\n", "", 256},
      {"segment_size: 512\r\nuse_compression: false\r\nversion: 0.34\r\n", "", 512},
      {"segment_size: 512\nextra: 1\nuse_compression: false\nversion: 0.34.9\n", "", 512},
      {"segment_size: 512\nsegment_size: +1024\nuse_compression: false\nversion: 0.34", "", 1024},
      {"segment_size: 512\nuse_compression: false\nversion: 0\n", "corrupt"},
      {"segment_size: 512\nuse_compression: maybe\nversion: 0.34\n", "corrupt"},
      {"use_compression: false\nversion: 0.34\n", "corrupt"},
      {"segment_size: 512\n\nuse_compression: false\nversion: 0.34\n", "corrupt"},
      {"segment_size: 512\nuse_compression: false\nversion: 0.34\n\xff\n", "utf8"},
  };
  for (const auto& c : cases) {
    zudizid::log::ScopedCapture cap(zudizid::log::Level::Error);
    auto r = StoredParameters::parse(std::span(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()));
    if (c.error.empty()) {
      ASSERT_TRUE(r) << c.text;
      EXPECT_EQ(r->segment_size, c.segment);
      EXPECT_EQ(r->version, (std::pair<uint64_t, uint64_t>{0, 34}));
    } else if (c.error == "corrupt") {
      ASSERT_FALSE(r) << c.text;
      EXPECT_TRUE(r.error().is<Error::Corruption>());
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().display(),
                "Unsupported: failed to open database that may have been created using a kelm version earlier than 0.29");
    }
  }
  zudizid::log::ScopedCapture cap(zudizid::log::Level::Error);
  std::string v0 = "segment_size: 512\nuse_compression: false\nversion: 0\n";
  (void)StoredParameters::parse(std::span(reinterpret_cast<const uint8_t*>(v0.data()), v0.size()));
  ASSERT_FALSE(cap.records().empty());
  EXPECT_EQ(cap.records().back().message, "failed to parse minor version value: 0");
}

TEST(ConfigLock, SecondOpenRefused) {
  auto dir = fresh_dir("lock");
  auto first = on(dir).open();
  ASSERT_TRUE(first);
  std::string err = open_error(on(dir));
  EXPECT_TRUE(err.starts_with("IO error: could not acquire lock on \"" + (dir / "db").string() + "\": Os { code: 11"))
      << err;
}

TEST(ConfigTemporary, DirectoriesAndSingleOwner) {
  Config t;
  t.temporary(true).flush_every_ms(std::nullopt);
  fs::path tmp = t->tmp_path;
  {
    auto db = t.open();
    ASSERT_TRUE(db) << db.error().display();
    EXPECT_TRUE(fs::exists(tmp / "db"));
    // A setter on the shared record copies it; dropping the caller's copy
    // must not remove the directory under the running engine.
    {
      zudizid::log::ScopedCapture cap(zudizid::log::Level::Error);
      t.cache_capacity(4096);
      ASSERT_FALSE(cap.records().empty());
      EXPECT_EQ(cap.records()[0].message,
                "config has already been used to start the system and probably should not be mutated");
    }
    EXPECT_EQ(db->context().config->cache_capacity == 4096, false);
    t = Config();
    EXPECT_TRUE(fs::exists(tmp / "db"));
    ASSERT_TRUE(db->insert("k", "v"));
  }
  EXPECT_FALSE(fs::exists(tmp));
  auto explicit_dir = fresh_dir("explicit_tmp");
  {
    Config e;
    e.path(explicit_dir).temporary(true).flush_every_ms(std::nullopt);
    ASSERT_TRUE(e.open());
    EXPECT_TRUE(fs::exists(explicit_dir / "conf"));
  }
  EXPECT_FALSE(fs::exists(explicit_dir));
}

TEST(ConfigMemoryCap, CgroupAndPhysicalBounds) {
  auto dir = fresh_dir("cgroup");
  fs::create_directories(dir);
  uint64_t huge = ~0ull;
  write_file(dir / "limit", " 268435456 \n");
  EXPECT_EQ(capped_cache_capacity(1073741824, dir / "limit"), 268435456u);
  write_file(dir / "limit", "9223372036854775807\n");  // above 0x7FFFFFFF00000000: no cap at all
  EXPECT_EQ(capped_cache_capacity(huge, dir / "limit"), huge);
  // No cgroup file: physical memory still bounds an absurd budget.
  EXPECT_LT(capped_cache_capacity(huge, dir / "missing"), huge);
  write_file(dir / "limit", "lots");
  EXPECT_LT(capped_cache_capacity(huge, dir / "limit"), huge);
}

TEST(ConfigSnapshots, ListingSkipsUnfinishedFiles) {
  auto dir = fresh_dir("snaps");
  fs::create_directories(dir);
  write_file(dir / "snap.00000000000000AB", "x");
  write_file(dir / "snap.00000000000000CD.generating", "x");
  write_file(dir / "snapshot", "x");
  write_file(dir / "other", "x");
  Config c;
  c.path(dir);
  auto files = c->get_snapshot_files();
  ASSERT_TRUE(files);
  ASSERT_EQ(files->size(), 1u);
  EXPECT_EQ(files->front().filename(), "snap.00000000000000AB");
}

}  // namespace
}  // namespace kelm::config
