// Byte layouts of the log, blob and snapshot files, checked against fixed
// vectors and against an independent Python encoder (zlib + struct).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/log.h"
#include "kv/pagecache/blob_io.h"
#include "kv/pagecache/message.h"
#include "kv/pagecache/snapshot.h"
#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

using testing::message_bytes;

std::vector<uint8_t> unhex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> seg_header(Lsn lsn, Lsn max_stable) {
  std::vector<uint8_t> out(kSegHeaderLen);
  encode_segment_header(lsn, max_stable, out.data());
  return out;
}

std::vector<uint8_t> blob_file(MessageKind kind, std::vector<uint8_t> data) {
  testing::TempDir dir;
  EXPECT_TRUE(blob_io::write_blob(dir.path(), 77, kind, data));
  FILE* f = std::fopen(blob_io::blob_path(dir.path(), 77).c_str(), "rb");
  std::vector<uint8_t> out(64);
  out.resize(std::fread(out.data(), 1, out.size(), f));
  std::fclose(f);
  return out;
}

std::vector<uint8_t> cap(size_t r, uint64_t seg) {
  std::vector<uint8_t> out(r, 0xAA);
  write_cap(out.data(), r, seg);
  return out;
}

std::vector<uint8_t> snapshot_file_bytes(const Snapshot& s) {
  auto body = serialize_snapshot_body(s);
  EXPECT_TRUE(body);
  std::vector<uint8_t> out = *body;
  uint8_t trailer[12];
  store_u64_le(trailer, body->size());
  store_u32_le(trailer + 8, zudizid::common::crc32(*body));
  out.insert(out.end(), trailer, trailer + 12);
  return out;
}

std::vector<uint8_t> seq(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
  return v;
}

struct Vector {
  const char* name;
  std::function<std::vector<uint8_t>()> build;
  const char* fixed_hex;  // from the format description, or "" where only Python gives it
};

const std::vector<Vector>& vectors() {
  static const std::vector<Vector> v = {
      {"free_pid5_seg3", [] { return message_bytes(MessageKind::Free, 3, 5, {}); }, "f8109e0a04000305"},
      {"canceled_12", [] { return message_bytes(MessageKind::Canceled, 0, 9, {1, 2, 3, 4}); }, ""},
      {"manifest",
       [] {
         std::vector<uint8_t> body(8);
         store_u64_le(body.data(), 5000);
         return message_bytes(MessageKind::BatchManifest, 1, kBatchManifestPid, body);
       },
       ""},
      {"node_inline", [] { return message_bytes(MessageKind::InlineNode, 2, 77, seq(40)); }, ""},
      {"segheader_0_m1", [] { return seg_header(0, -1); }, "ffbac70fffffffffffffff7f0000000000000080"},
      {"segheader_8192_4000", [] { return seg_header(8192, 4000); }, ""},
      {"blob_kind9_0102", [] { return blob_file(MessageKind::BlobNode, {1, 2}); }, "f0b28507090102"},
      {"blob_kind9_empty", [] { return blob_file(MessageKind::BlobNode, {}); }, ""},
      {"cap_40_seg7", [] { return cap(40, 7); }, ""},
      {"snapshot_example",
       [] {
         Snapshot s;
         s.stable_lsn = 0x1000;
         s.pt.push_back(present_page(Fragment{20, DiskPtr::inline_at(20), 40}));
         return snapshot_file_bytes(s);
       },
       // 21-byte body, its length, then the CRC-32 of the body.
       "0110000000000000000114000000000000000014281500000000000000b96989a0"},
  };
  return v;
}

TEST(LogFormat, FixedVectors) {
  for (const auto& v : vectors()) {
    if (std::string(v.fixed_hex).empty()) continue;
    EXPECT_EQ(v.build(), unhex(v.fixed_hex)) << v.name;
  }
}

// The same table, computed by tests/kv/log_format_vectors.py.
TEST(LogFormat, MatchesPythonReference) {
  const auto script = std::filesystem::path(__FILE__).parent_path() / "log_format_vectors.py";
  if (!std::filesystem::exists("/usr/bin/python3") || !std::filesystem::exists(script))
    GTEST_SKIP() << "no python3 or script";
  FILE* p = popen(("/usr/bin/python3 " + script.string()).c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::map<std::string, std::string> py;
  char name[128], hex[4096];
  while (std::fscanf(p, "%127s %4095s", name, hex) == 2) py[name] = hex;
  ASSERT_EQ(pclose(p), 0);
  ASSERT_EQ(py.size(), vectors().size());
  for (const auto& v : vectors()) {
    ASSERT_TRUE(py.count(v.name)) << v.name;
    EXPECT_EQ(v.build(), unhex(py[v.name])) << v.name;
  }
}

TEST(LogFormat, MessageHeaderSizesAndZeroRegion) {
  MessageHeader small{0, MessageKind::Free, 0, 0, 0};
  EXPECT_EQ(small.serialized_size(), 8u);
  MessageHeader big{0, MessageKind::Cap, UINT64_MAX, UINT64_MAX, UINT64_MAX};
  EXPECT_EQ(big.serialized_size(), 32u);
  std::vector<uint8_t> buf(32);
  big.serialize_into(buf.data());
  auto back = MessageHeader::deserialize(buf);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size, 32u);
  EXPECT_EQ(back->header.pid, UINT64_MAX);

  std::vector<uint8_t> zeros(16, 0);
  auto z = MessageHeader::deserialize(zeros);
  ASSERT_TRUE(z);
  EXPECT_EQ(z->header.kind, MessageKind::Corrupted);
  EXPECT_EQ(z->header.len, 0u);
  EXPECT_EQ(z->header.segment_number, 0u);
  EXPECT_EQ(z->header.pid, 0u);

  for (uint8_t k : {12, 255}) EXPECT_EQ(message_kind_from_byte(k), MessageKind::Corrupted) << int(k);
  EXPECT_FALSE(MessageHeader::deserialize(std::vector<uint8_t>(4, 0)));
  // A varint that announces more bytes than remain.
  EXPECT_FALSE(MessageHeader::deserialize(std::vector<uint8_t>{0, 0, 0, 0, 8, 0xFF, 1}));
}

TEST(LogFormat, SegmentHeaderOfZerosIsNotOk) {
  uint8_t zeros[kSegHeaderLen] = {};
  auto h = decode_segment_header(zeros);
  EXPECT_EQ(h.lsn, 0x7FFF'FFFF'FFFF'FFFF);
  EXPECT_FALSE(h.ok);
  auto good = seg_header(8192, 4000);
  auto g = decode_segment_header(good.data());
  EXPECT_TRUE(g.ok);
  EXPECT_EQ(g.lsn, 8192);
  EXPECT_EQ(g.max_stable_lsn, 4000);
}

TEST(LogFormat, BlobThreshold) {
  EXPECT_FALSE(over_blob_threshold(12, 256));
  EXPECT_TRUE(over_blob_threshold(13, 256));
  EXPECT_FALSE(over_blob_threshold(131020, 512 * 1024));
  EXPECT_TRUE(over_blob_threshold(131021, 512 * 1024));
}

TEST(LogFormat, KindByteTable) {
  struct Case {
    PageId pid;
    LogKind kind;
    bool blob;
    std::optional<MessageKind> want;
  };
  const Case cases[] = {
      {kBatchManifestPid, LogKind::Skip, false, MessageKind::BatchManifest},
      {0, LogKind::Replace, false, MessageKind::InlineMeta},
      {0, LogKind::Replace, true, MessageKind::BlobMeta},
      {1, LogKind::Replace, false, MessageKind::Counter},
      {9, LogKind::Replace, false, MessageKind::InlineNode},
      {9, LogKind::Replace, true, MessageKind::BlobNode},
      {9, LogKind::Link, false, MessageKind::InlineLink},
      {9, LogKind::Link, true, MessageKind::BlobLink},
      {9, LogKind::Free, false, MessageKind::Free},
      {9, LogKind::Free, true, std::nullopt},
      {9, LogKind::Skip, false, std::nullopt},
      {kBatchManifestPid, LogKind::Skip, true, std::nullopt},
  };
  for (const auto& c : cases) {
    auto got = choose_message_kind(c.pid, c.kind, c.blob);
    if (c.want) {
      ASSERT_TRUE(got) << c.pid << " " << log_kind_name(c.kind);
      EXPECT_EQ(*got, *c.want);
    } else {
      ASSERT_FALSE(got);
      EXPECT_TRUE(got.error().is<Error::ReportableBug>());
    }
  }
}

TEST(LogFormat, SnapshotFieldEncodings) {
  struct Case {
    std::optional<Lsn> stable;
    std::optional<LogOffset> active;
    const char* hex;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "000000000000000000"},
      {0, std::nullopt, "010000000000000000"},
      {-5, std::nullopt, "fbffffffffffffff00"},
      {std::nullopt, 0, "000000000000000001"},
      {std::nullopt, 524288, "0000000000000000fa010008"},
  };
  for (const auto& c : cases) {
    Snapshot s;
    s.stable_lsn = c.stable;
    s.active_segment = c.active;
    auto body = serialize_snapshot_body(s);
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, unhex(c.hex)) << c.hex;
    auto back = deserialize_snapshot_body(*body);
    ASSERT_TRUE(back);
    EXPECT_TRUE(same_snapshot(*back, s)) << c.hex;
  }
  EXPECT_EQ(snapshot_file_name(4096), "snap.0000000000001000");
  EXPECT_EQ(snapshot_file_name(std::nullopt), "snap.0000000000000000");
  EXPECT_EQ(snapshot_file_name(-1), "snap.FFFFFFFFFFFFFFFF");
}

TEST(LogFormat, SnapshotFragmentCountLimitAndRoundTrip) {
  Snapshot s;
  s.stable_lsn = 123456;
  PageState p = present_page(Fragment{20, DiskPtr::blob_at(20, 20), 30});
  for (int i = 0; i < 254; ++i) p.frags.push_back(Fragment{100 + i, DiskPtr::inline_at(100 + i), 10});
  s.pt.push_back(p);
  s.pt.push_back(free_page(7, DiskPtr::inline_at(7)));
  auto body = serialize_snapshot_body(s);
  ASSERT_TRUE(body);
  EXPECT_EQ((*body)[9], 0xFF);
  auto back = deserialize_snapshot_body(*body);
  ASSERT_TRUE(back);
  EXPECT_TRUE(same_snapshot(*back, s));
  // Every strict prefix that cuts a field fails; none reads past the body.
  for (size_t cut = 0; cut < body->size(); ++cut) {
    auto r = deserialize_snapshot_body(std::span(*body).first(cut));
    if (r) continue;  // a cut between page states is a valid shorter snapshot
    EXPECT_TRUE(r.error().is<Error::Corruption>());
  }

  s.pt[0].frags.push_back(Fragment{999, DiskPtr::inline_at(999), 1});
  EXPECT_FALSE(serialize_snapshot_body(s));
  s.pt[0] = PageState{};
  EXPECT_FALSE(serialize_snapshot_body(s));
  auto bad_tag = unhex("0000000000000000" "00" "00" "0500000000000000" "02" "05");
  EXPECT_FALSE(deserialize_snapshot_body(bad_tag));
}

}  // namespace
}  // namespace kelm::pagecache
