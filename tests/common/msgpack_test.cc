#include "common/msgpack.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bytes.h"

namespace zudizid::common::msgpack {
namespace {

using Bytes = std::vector<uint8_t>;

using zudizid::testing::hex;

template <class F>
std::string encode(F f) {
  Bytes out;
  Writer w(out);
  f(w);
  return hex(out);
}

TEST(MsgpackWriter, ShortestIntegerForms) {
  struct Case {
    int64_t value;
    const char* bytes;
  };
  const Case cases[] = {
      {0, "00"},
      {127, "7f"},
      {128, "cc 80"},
      {255, "cc ff"},
      {256, "cd 01 00"},
      {65535, "cd ff ff"},
      {65536, "ce 00 01 00 00"},
      {4294967295, "ce ff ff ff ff"},
      {4294967296, "cf 00 00 00 01 00 00 00 00"},
      {-1, "ff"},
      {-32, "e0"},
      {-33, "d0 df"},
      {-128, "d0 80"},
      {-129, "d1 ff 7f"},
      {-32768, "d1 80 00"},
      {-32769, "d2 ff ff 7f ff"},
      {-2147483648LL, "d2 80 00 00 00"},
      {-2147483649LL, "d3 ff ff ff ff 7f ff ff ff"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode([&](Writer& w) { w.write_int(c.value); }), c.bytes) << c.value;
  EXPECT_EQ(encode([](Writer& w) { w.write_uint(UINT64_MAX); }), "cf ff ff ff ff ff ff ff ff");
}

TEST(MsgpackWriter, HeadersAndScalars) {
  EXPECT_EQ(encode([](Writer& w) { w.write_str(std::string(31, 'a')); }).substr(0, 2), "bf");
  EXPECT_EQ(encode([](Writer& w) { w.write_str(std::string(32, 'a')); }).substr(0, 5), "d9 20");
  EXPECT_EQ(encode([](Writer& w) { w.write_str(std::string(256, 'a')); }).substr(0, 8), "da 01 00");
  EXPECT_EQ(encode([](Writer& w) { w.write_str(std::string(65536, 'a')); }).substr(0, 14), "db 00 01 00 00");
  EXPECT_EQ(encode([](Writer& w) { w.write_array_header(15); }), "9f");
  EXPECT_EQ(encode([](Writer& w) { w.write_array_header(16); }), "dc 00 10");
  EXPECT_EQ(encode([](Writer& w) { w.write_array_header(65536); }), "dd 00 01 00 00");
  EXPECT_EQ(encode([](Writer& w) { w.write_map_header(15); }), "8f");
  EXPECT_EQ(encode([](Writer& w) { w.write_map_header(16); }), "de 00 10");
  EXPECT_EQ(encode([](Writer& w) { w.write_bin(Bytes(16, 0)); }).substr(0, 5), "c4 10");
  EXPECT_EQ(encode([](Writer& w) { w.write_f64(1.0); }), "cb 3f f0 00 00 00 00 00 00");
  EXPECT_EQ(encode([](Writer& w) { w.write_f32(-2.0f); }), "ca c0 00 00 00");
  EXPECT_EQ(encode([](Writer& w) { w.write_ext(5, Bytes{1, 2}); }), "d5 05 01 02");
  EXPECT_EQ(encode([](Writer& w) { w.write_ext(5, Bytes{1, 2, 3}); }), "c7 03 05 01 02 03");
}

TEST(MsgpackReader, MarkerNames) {
  struct Case {
    uint8_t marker;
    const char* name;
  };
  const Case cases[] = {{0x05, "FixPos(5)"}, {0xff, "FixNeg(-1)"},  {0xc0, "Null"},      {0xc1, "Reserved"},
                        {0xc2, "False"},     {0xa3, "FixStr(3)"},   {0x92, "FixArray(2)"}, {0x81, "FixMap(1)"},
                        {0xcc, "U8"},        {0xd3, "I64"},         {0xca, "F32"},        {0xd8, "FixExt16"},
                        {0xc9, "Ext32"},     {0xdb, "Str32"},       {0xc6, "Bin32"},      {0xdf, "Map32"}};
  for (const auto& c : cases) EXPECT_EQ(marker_name(c.marker), c.name);
}

TEST(MsgpackReader, HeadsKeepWireKind) {
  // A zero as int 8 stays signed; as fixint unsigned.
  Bytes in{0xd0, 0x00, 0x00, 0xd1, 0xff, 0x7f, 0xcb, 0x3f, 0xf0, 0, 0, 0, 0, 0, 0};
  Reader r(in);
  auto a = r.read_head();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->kind, Kind::SInt);
  EXPECT_EQ(a->i, 0);
  auto b = r.read_head();
  EXPECT_EQ(b->kind, Kind::UInt);
  auto c = r.read_head();
  EXPECT_EQ(c->kind, Kind::SInt);
  EXPECT_EQ(c->i, -129);
  auto d = r.read_head();
  EXPECT_EQ(d->kind, Kind::F64);
  EXPECT_EQ(d->f, 1.0);
}

TEST(MsgpackReader, TruncationMessages) {
  struct Case {
    Bytes input;
    const char* message;
  };
  const Case cases[] = {
      {{}, "IO error while reading marker: failed to fill whole buffer"},
      {{0x92, 0x01}, "IO error while reading marker: failed to fill whole buffer"},
      {{0xcd, 0x01}, "IO error while reading data: failed to fill whole buffer"},
      {{0xd9}, "IO error while reading data: failed to fill whole buffer"},
      {{0xdc, 0x00}, "IO error while reading data: failed to fill whole buffer"},
      {{0xa3, 'a'}, "IO error while reading data: unexpected end of file"},
      {{0xc4, 0x05, 1}, "IO error while reading data: unexpected end of file"},
      {{0xd6, 0x01, 0x00}, "IO error while reading data: unexpected end of file"},
  };
  for (const auto& c : cases) {
    Reader r(c.input);
    auto v = r.read_value();
    ASSERT_FALSE(v) << hex(c.input);
    EXPECT_EQ(v.error().message, c.message) << hex(c.input);
  }
}

TEST(MsgpackReader, HostileCountsDoNotAllocate) {
  // Claims 2^32-1 elements / entries with almost nothing behind them.
  for (Bytes in : {Bytes{0xdd, 0xff, 0xff, 0xff, 0xff, 0x01}, Bytes{0xdf, 0xff, 0xff, 0xff, 0xff, 0x01, 0x02}}) {
    Reader r(in);
    auto v = r.read_value();
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message, "IO error while reading marker: failed to fill whole buffer");
  }
  Bytes in{0xdd, 0xff, 0xff, 0xff, 0xff, 1, 2, 3};
  Reader r(in);
  ASSERT_TRUE(r.read_head());
  EXPECT_EQ(r.plausible_count(0xffffffffu), 3u);
}

TEST(MsgpackReader, DepthBudget) {
  auto nested = [](size_t depth) {
    Bytes b(depth, 0x91);
    b.push_back(0xc0);
    return b;
  };
  const Bytes fits = nested(1023), deeper = nested(1024);
  Reader ok(fits);
  EXPECT_TRUE(ok.read_value());
  Reader too_deep(deeper);
  auto v = too_deep.read_value();
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error().message, "depth limit exceeded");
  Reader skip(deeper);
  EXPECT_EQ(skip.skip_value().error().message, "depth limit exceeded");
  // Budget returns when a container is left: many siblings are fine.
  Bytes wide{0xdc, 0x07, 0xd0};
  for (int i = 0; i < 2000; ++i) wide.push_back(0x90);
  Reader w(wide);
  EXPECT_TRUE(w.read_value());
}

TEST(MsgpackReader, Describe) {
  auto d = [](Bytes in) {
    Reader r(in);
    return describe(*r.read_value());
  };
  EXPECT_EQ(d({0xc0}), "unit value");
  EXPECT_EQ(d({0xc3}), "boolean `true`");
  EXPECT_EQ(d({0xff}), "integer `-1`");
  EXPECT_EQ(d({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0}), "floating point `1.5`");
  EXPECT_EQ(d({0xa3, 'a', '"', 'b'}), "string \"a\\\"b\"");
  EXPECT_EQ(d({0xc4, 0x00}), "byte array");
  EXPECT_EQ(d({0x90}), "sequence");
  EXPECT_EQ(d({0x80}), "map");
  EXPECT_EQ(d({0xd4, 0x01, 0x00}), "newtype struct");
}

}  // namespace
}  // namespace zudizid::common::msgpack
