// "metadata.bin" bytes, built independently with Python's struct module.
#include "index/index_metadata.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/support/bytes.h"
#include "tests/support/python.h"

namespace zudizid::index {
namespace {

// Each line: case name, then the file bytes in hex.
constexpr const char* kCasesScript = R"PY(
import struct, datetime
def s(b): return struct.pack('<Q', len(b)) + b
def entry(name, label, prop, tag, secs, size):
    return (s(name.encode()) + s(label.encode()) + s(prop.encode())
            + struct.pack('<I', tag) + struct.pack('<q', secs) + struct.pack('<Q', size))
def file(*entries): return struct.pack('<Q', len(entries)) + b''.join(entries)
# Legal dates run from -262143-01-01 to 262142-12-31; 400-year cycles have
# 146097 days, which lets Python's date (years 1..9999) locate the ends.
unix0 = datetime.date(1970, 1, 1).toordinal()
min_day = datetime.date(257, 1, 1).toordinal() - 656 * 146097 - unix0
end_day = datetime.date(143, 1, 1).toordinal() + 655 * 146097 - unix0
lo, hi = min_day * 86400, end_day * 86400 - 1
good = entry('Person_age', 'Person', 'age', 1, 1765411200, 3)
cases = {
  'zero': struct.pack('<Q', 0),
  'two': file(good, entry('Doc_text\u00e9', 'Doc', 'text\u00e9', 2, -5, 2**64 - 1)),
  'trailing': file(good) + b'junk',
  'tag4': file(entry('a_b', 'a', 'b', 4, 0, 0)),
  'truncated': file(good)[:-1],
  'short_count': b'\x01\x00\x00',
  'huge_len': struct.pack('<QQ', 1, 2**64 - 1),
  'huge_count': struct.pack('<Q', 2**64 - 1) + good,
  'bad_utf8': file(s(b'\xff') + good[8 + 10:]),
  'secs_lo': file(entry('a_b', 'a', 'b', 0, lo, 0)),
  'secs_hi': file(entry('a_b', 'a', 'b', 0, hi, 0)),
  'secs_below': file(entry('a_b', 'a', 'b', 0, lo - 1, 0)),
  'secs_above': file(entry('a_b', 'a', 'b', 0, hi + 1, 0)),
  'secs_max': file(entry('a_b', 'a', 'b', 0, 2**63 - 1, 0)),
}
for k, v in cases.items(): print(k, v.hex(), lo, hi)
)PY";

struct Cases {
  std::map<std::string, std::string> bytes;
  std::int64_t lo = 0, hi = 0;
};

const Cases& cases() {
  static const Cases c = [] {
    Cases c;
    bool ok = false;
    std::istringstream in(testing::run_python(kCasesScript, "", &ok));
    EXPECT_TRUE(ok);
    std::string name, hex;
    while (in >> name >> hex >> c.lo >> c.hi) c.bytes[name] = testing::unhex_string(hex);
    return c;
  }();
  return c;
}

TEST(MetadataCodec, EncodesExactlyThePythonBytes) {
  std::vector<IndexMetadata> two = {
      {"Person_age", "Person", "age", IndexType::BTree, {1765411200, 999'999'999}, 3},
      {"Doc_text\u00e9", "Doc", "text\u00e9", IndexType::FullText, {-5, 0}, UINT64_MAX},
  };
  // The sub-second part is not stored.
  EXPECT_EQ(encode_metadata(two), cases().bytes.at("two"));
  EXPECT_EQ(encode_metadata({}), cases().bytes.at("zero"));

  auto back = decode_metadata(cases().bytes.at("two"));
  ASSERT_TRUE(back.has_value()) << back.error();
  two[0].created_at.nanos = 0;
  EXPECT_EQ(*back, two);
}

TEST(MetadataCodec, DecodeOutcomes) {
  const std::int64_t lo = cases().lo, hi = cases().hi;
  struct Case {
    const char* name;
    std::size_t entries;  // when accepted
    std::string error;    // empty: accepted
  };
  const Case table[] = {
      {"zero", 0, ""},
      {"trailing", 1, ""},
      {"secs_lo", 1, ""},
      {"secs_hi", 1, ""},
      {"tag4", 0, "invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {"truncated", 0, "unexpected end of input at byte 63"},
      {"short_count", 0, "unexpected end of input at byte 0"},
      {"huge_len", 0, "unexpected end of input at byte 16"},
      {"huge_count", 0, "unexpected end of input at byte 71"},
      {"bad_utf8", 0, "invalid UTF-8 in name at byte 16"},
      {"secs_below", 0, "value is not a legal timestamp: " + std::to_string(lo - 1)},
      {"secs_above", 0, "value is not a legal timestamp: " + std::to_string(hi + 1)},
      {"secs_max", 0, "value is not a legal timestamp: 9223372036854775807"},
  };
  for (const auto& c : table) {
    auto r = decode_metadata(cases().bytes.at(c.name));
    if (c.error.empty()) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error();
      EXPECT_EQ(r->size(), c.entries) << c.name;
    } else {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error(), c.error) << c.name;
    }
  }
  auto edge = decode_metadata(cases().bytes.at("secs_hi"));
  ASSERT_TRUE(edge.has_value());
  EXPECT_EQ(to_iso8601((*edge)[0].created_at), "+262142-12-31T23:59:59Z");
  EXPECT_EQ(to_iso8601({lo, 0}), "-262143-01-01T00:00:00Z");
}

TEST(MetadataCodec, DebugFormAndBlankTest) {
  IndexMetadata m{"a_b", "a", "  ", IndexType::Taxonomy, {0, 0}, 7};
  EXPECT_EQ(debug_string(m),
            "IndexMetadata { name: \"a_b\", label: \"a\", property: \"  \", index_type: Taxonomy, "
            "created_at: 1970-01-01T00:00:00Z, size: 7 }");
  for (const char* blank : {"", " ", "\t\n", "\u00a0\u3000", "\u2028"}) {
    EXPECT_TRUE(is_blank(blank)) << blank;
  }
  for (const char* word : {"a", " a ", "\u200b"}) {  // zero-width space is not White_Space
    EXPECT_FALSE(is_blank(word)) << word;
  }
}

}  // namespace
}  // namespace zudizid::index
