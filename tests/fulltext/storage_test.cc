// File footers, composite files and the managed directory, over the RAM
// directory.
#include <gtest/gtest.h>

#include "common/crc32.h"
#include "fulltext/directory/composite_file.h"
#include "fulltext/directory/footer.h"
#include "fulltext/directory/managed_directory.h"
#include "fulltext/directory/ram_directory.h"
#include "tests/support/bytes.h"

namespace fendral {
namespace {

using Bytes = std::vector<uint8_t>;

using zudizid::testing::bytes_of;

Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes with_footer(std::string_view body, std::string_view json) {
  Bytes out(body.begin(), body.end());
  out.insert(out.end(), json.begin(), json.end());
  auto len = le32(static_cast<uint32_t>(json.size()));
  out.insert(out.end(), len.begin(), len.end());
  auto magic = le32(1337);
  out.insert(out.end(), magic.begin(), magic.end());
  return out;
}

Bytes write_with_proxy(std::string_view body) {
  Bytes out;
  auto proxy = std::make_unique<FooterProxy>(std::make_unique<VecWriter>(&out));
  BufferedWriter w(std::move(proxy));
  EXPECT_TRUE(w.write_all(body).has_value());
  EXPECT_TRUE(w.terminate_ref().has_value());
  return out;
}

TEST(Footer, EmptyBodyIsJsonLengthAndMagic) {
  Bytes file = write_with_proxy("");
  std::string json = R"({"version":{"major":0,"minor":26,"patch":1,"index_format_version":7},"crc":0})";
  EXPECT_EQ(file, with_footer("", json));
  Bytes body_file = write_with_proxy("hello");
  auto split = split_footer(FileSlice(OwnedBytes::from_vector(body_file))).value();
  EXPECT_EQ(split.first.crc, zudizid::common::crc32(std::string_view("hello")));
  EXPECT_EQ(split.first.version, engine_version());
  EXPECT_EQ(split.second.len(), 5u);
}

TEST(Footer, SplitChecksRunInOrder) {
  std::string good_json = R"({"version":{"major":0,"minor":26,"patch":1,"index_format_version":7},"crc":0})";
  auto err = [](const Bytes& b) { return split_footer(FileSlice(OwnedBytes::from_vector(b))).error(); };
  struct Case {
    Bytes file;
    IoErrorKind kind;
    std::string message_prefix;
  } cases[] = {
      {Bytes{1, 2, 3}, IoErrorKind::UnexpectedEof, "File corrupted. The file is smaller than 4 bytes (len=3)."},
      {Bytes{1, 2, 3, 4, 5}, IoErrorKind::UnexpectedEof, "File corrupted. The file is smaller than 8 bytes (len=5)."},
      {Bytes{0, 0, 0, 0, 1, 2, 3, 4}, IoErrorKind::InvalidData, "Footer magic byte mismatch."},
      {[&] { Bytes b = le32(50001); auto m = le32(1337); b.insert(b.end(), m.begin(), m.end()); return b; }(),
       IoErrorKind::InvalidData, "Footer seems invalid as it suggests a footer len of 50001."},
      {[&] { Bytes b(99, 'x'); auto l = le32(100); b.insert(b.end(), l.begin(), l.end());
             auto m = le32(1337); b.insert(b.end(), m.begin(), m.end()); return b; }(),
       IoErrorKind::UnexpectedEof, "File corrupted. The file is smaller than it's footer bytes (len=108)."},
      {with_footer("", R"({"version":{"major":0,"minor":26,"patch":1,"index_format_version":7}})"),
       IoErrorKind::InvalidData, "missing field `crc`"},
      {with_footer("", R"({"crc":1,"crc":2,"version":{"major":0,"minor":0,"patch":0,"index_format_version":7}})"),
       IoErrorKind::InvalidData, "duplicate field `crc`"},
      {with_footer("", good_json + "x"), IoErrorKind::InvalidData, "trailing characters"},
      {with_footer("", R"({"version":{"major":0)"), IoErrorKind::UnexpectedEof, "EOF while parsing"},
  };
  for (const auto& c : cases) {
    auto e = err(c.file);
    EXPECT_EQ(e.kind(), c.kind) << c.message_prefix;
    EXPECT_EQ(e.display().rfind(c.message_prefix, 0), 0u) << e.display();
  }
  // A stated length of exactly 50000 passes the limit and fails only later.
  Bytes limit = le32(50000);
  auto m = le32(1337);
  limit.insert(limit.end(), m.begin(), m.end());
  EXPECT_NE(err(limit).display().find("smaller than it's footer bytes (len=50008)"), std::string::npos);

  // Other accepted forms: keys in any order, an extra key, the array form, blanks.
  for (std::string json : {std::string(R"({"crc":5,"extra":[1,{}],"version":{"index_format_version":4,"patch":1,"minor":2,"major":3}})"),
                           std::string(R"( [ [3,2,1,4] , 5 ] )")}) {
    auto split = split_footer(FileSlice(OwnedBytes::from_vector(with_footer("ab", json))));
    ASSERT_TRUE(split.has_value()) << json << ": " << split.error().display();
    EXPECT_EQ(split->first.crc, 5u);
    EXPECT_EQ(split->first.version, (Version{3, 2, 1, 4}));
    EXPECT_EQ(split->second.len(), 2u);
  }
  for (uint32_t format : {3u, 4u, 5u, 6u, 7u, 8u}) {
    Footer f{Version{0, 26, 1, format}, 0};
    EXPECT_EQ(f.accepts_index_format(), format >= 4 && format <= 7) << format;
  }
}

TEST(CompositeFile, PinnedTablesAndLookups) {
  {
    Bytes out;
    CompositeWrite w(std::make_unique<VecWriter>(&out));
    ASSERT_TRUE(w.close().has_value());
    EXPECT_EQ(out, (Bytes{0x80, 0x01, 0x00, 0x00, 0x00}));
    auto file = CompositeFile::open(FileSlice(OwnedBytes::from_vector(out))).value();
    EXPECT_FALSE(file.open_read(0).has_value());
  }
  Bytes out;
  CompositeWrite w(std::make_unique<VecWriter>(&out));
  ASSERT_TRUE(w.for_field(0).write_all(bytes_of("abc")).has_value());
  ASSERT_TRUE(w.for_field(1).write_all(bytes_of("defgh")).has_value());
  EXPECT_THROW(w.for_field(1), ContractViolation);
  ASSERT_TRUE(w.close().has_value());
  Bytes expected{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x82, 0x80, 0, 0, 0, 0, 0x80, 0x83, 1, 0, 0, 0, 0x80,
                 0x0D, 0, 0, 0};
  EXPECT_EQ(out, expected);
  auto file = CompositeFile::open(FileSlice(OwnedBytes::from_vector(out))).value();
  auto f0 = file.open_read(0).value().read_all().value();
  auto f1 = file.open_read(1).value().read_all().value();
  EXPECT_EQ(std::string(f0.as_bytes().begin(), f0.as_bytes().end()), "abc");
  EXPECT_EQ(std::string(f1.as_bytes().begin(), f1.as_bytes().end()), "defgh");
  EXPECT_FALSE(file.open_read(2).has_value());

  // An empty sub-file is still found.
  Bytes z;
  CompositeWrite wz(std::make_unique<VecWriter>(&z));
  wz.for_field_with_index(4, 2);
  ASSERT_TRUE(wz.close().has_value());
  EXPECT_EQ(CompositeFile::open(FileSlice(OwnedBytes::from_vector(z))).value().open_read_with_idx(4, 2)->len(), 0u);
}

TEST(CompositeFile, CorruptTablesAreErrors) {
  auto open = [](Bytes b) { return CompositeFile::open(FileSlice(OwnedBytes::from_vector(std::move(b)))); };
  struct Case {
    Bytes body;
    std::string message;
  } cases[] = {
      {Bytes{1, 2}, "failed to fill whole buffer"},
      {Bytes{0x80, 0xFF, 0xFF, 0xFF, 0xFF}, "Composite file table of 4294967295 bytes does not fit a body of 5 bytes"},
      {Bytes{0x83, 0x80, 0, 0, 0, 0, 0x80, 7, 0, 0, 0}, "Reach end of buffer while reading VInt"},
      {Bytes{0x81, 0x80, 0, 0, 4, 0, 0, 0}, "failed to fill whole buffer"},
      {Bytes{'a', 0x81, 0x85, 0, 0, 0, 0, 0x80, 7, 0, 0, 0}, "Composite file entry starts past the table (5 > 1)"},
  };
  for (const auto& c : cases) {
    auto r = open(c.body);
    ASSERT_FALSE(r.has_value()) << c.message;
    EXPECT_EQ(r.error().display(), c.message);
  }
}

TEST(ManagedDirectory, RecordsFilesAndChecksFooters) {
  auto ram = std::make_unique<RamDirectory>();
  RamDirectory raw = *ram;
  auto managed = ManagedDirectory::wrap(std::move(ram)).value();
  EXPECT_FALSE(raw.exists(".managed.json").value());  // wrapping writes nothing

  auto w = managed.open_write("x.idx").value();
  ASSERT_TRUE(w->write_all(bytes_of("payload")).has_value());
  ASSERT_TRUE(w->terminate_ref().has_value());
  auto body = managed.open_read("x.idx").value().read_all().value();
  EXPECT_EQ(std::string(body.as_bytes().begin(), body.as_bytes().end()), "payload");
  ASSERT_TRUE(managed.atomic_write("meta.json", bytes_of("{}")).has_value());
  ASSERT_TRUE(managed.atomic_write(".hidden", bytes_of("{}")).has_value());
  auto saved = raw.atomic_read(".managed.json").value();
  std::string text(saved.begin(), saved.end());
  EXPECT_EQ(text, "[\"meta.json\",\"x.idx\"]\n");

  // A second open_write of a managed path does not rewrite the list.
  ASSERT_TRUE(raw.delete_file(".managed.json").has_value());
  ASSERT_TRUE(managed.delete_file("x.idx").has_value());
  auto again = managed.open_write("x.idx").value();
  ASSERT_TRUE(again->terminate_ref().has_value());
  EXPECT_FALSE(raw.exists(".managed.json").value());
  EXPECT_EQ(managed.managed_paths().count("x.idx"), 1u);  // deleting keeps the path managed

  // A file written around the managed directory has no footer.
  auto plain = raw.open_write("plain.bin").value();
  ASSERT_TRUE(plain->write_all(bytes_of("no footer here")).has_value());
  ASSERT_TRUE(plain->terminate_ref().has_value());
  auto r = managed.open_read("plain.bin");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, OpenReadError::Kind::IoError);
  EXPECT_NE(r.error().debug().find("Footer magic byte mismatch"), std::string::npos);

  // A damaged body no longer matches its footer's CRC.
  Bytes damaged = write_with_proxy("important");
  damaged[0] ^= 1;
  ASSERT_TRUE(raw.atomic_write("damaged.idx", damaged).has_value());
  auto d = managed.open_read("damaged.idx");
  ASSERT_FALSE(d.has_value());
  EXPECT_NE(d.error().debug().find("CRC-32"), std::string::npos);
  // Rewritten through the managed directory, the same name checks again.
  ASSERT_TRUE(managed.delete_file("damaged.idx").has_value());
  auto rewrite = managed.open_write("damaged.idx").value();
  ASSERT_TRUE(rewrite->write_all(bytes_of("fixed")).has_value());
  ASSERT_TRUE(rewrite->terminate_ref().has_value());
  EXPECT_TRUE(managed.open_read("damaged.idx").has_value());

  // Footers outside formats 4 to 7 are incompatible.
  Bytes old = with_footer("x", R"({"version":{"major":0,"minor":10,"patch":0,"index_format_version":3},"crc":2363233923})");
  ASSERT_TRUE(raw.atomic_write("old.idx", old).has_value());
  auto inc = managed.open_read("old.idx");
  ASSERT_FALSE(inc.has_value());
  EXPECT_EQ(inc.error().kind, OpenReadError::Kind::IncompatibleIndex);
  EXPECT_EQ(FendralError(inc.error()).display().rfind("Failed to open file for read: 'IncompatibleIndex(", 0), 0u);
}

TEST(ManagedDirectory, GarbageCollectDeletesUnusedManagedFiles) {
  auto ram = std::make_unique<RamDirectory>();
  RamDirectory raw = *ram;
  auto managed = ManagedDirectory::wrap(std::move(ram)).value();
  for (std::string name : {"a.idx", "b.idx", "c.idx"}) {
    auto w = managed.open_write(name).value();
    ASSERT_TRUE(w->terminate_ref().has_value());
  }
  ASSERT_TRUE(managed.atomic_write("meta.json", bytes_of("{}")).has_value());
  ASSERT_TRUE(raw.delete_file("c.idx").has_value());  // already gone: counts as deleted
  auto result = managed.garbage_collect({"meta.json", "a.idx"});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->deleted_files, (std::vector<std::string>{"b.idx", "c.idx"}));
  EXPECT_TRUE(result->failed_to_delete_files.empty());
  EXPECT_FALSE(raw.exists("b.idx").value());
  EXPECT_TRUE(raw.exists("a.idx").value());
  EXPECT_FALSE(raw.exists(".fendral-meta.lock").value());  // the lock was released
  auto saved = raw.atomic_read(".managed.json").value();
  EXPECT_EQ(std::string(saved.begin(), saved.end()), "[\"a.idx\",\"meta.json\"]\n");
}

TEST(ManagedDirectory, WrapReadsTheList) {
  struct Case {
    std::string content;
    bool ok;
    size_t count;
  } cases[] = {
      {"[\"a\",\"a\"]\n", true, 1},
      {" [ \"a\" , \"b\" ] \n", true, 2},
      {"{}", false, 0},
      {"[1]", false, 0},
      {"[\"a\"] x", false, 0},
  };
  for (const auto& c : cases) {
    auto ram = std::make_unique<RamDirectory>();
    ASSERT_TRUE(ram->atomic_write(".managed.json", bytes_of(c.content)).has_value());
    auto m = ManagedDirectory::wrap(std::move(ram));
    ASSERT_EQ(m.has_value(), c.ok) << c.content;
    if (m) {
      EXPECT_EQ(m->managed_paths().size(), c.count);
    } else {
      EXPECT_EQ(m.error().kind(), FendralError::Kind::DataCorruption);
      EXPECT_EQ(m.error().display().rfind(
                    "Data corrupted: 'Data corruption (in file `\".managed.json\"`): Managed file cannot be "
                    "deserialized: Error(",
                    0),
                0u)
          << m.error().display();
    }
  }
}

}  // namespace
}  // namespace fendral
