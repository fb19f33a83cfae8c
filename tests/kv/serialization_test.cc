#include <gtest/gtest.h>

#include "kv/serialization/bodies.h"

namespace kelm::serialization {
namespace {

using Bytes8 = std::vector<uint8_t>;

IVec iv(std::string_view s) { return IVec::from_slice(s); }

template <class T>
Bytes8 encode(const T& item) {
  Bytes8 out(serialized_size(item));
  EXPECT_EQ(serialize_into(item, out.data()), out.size());
  return out;
}

TEST(SerializationBodies, NodeBytes) {
  EXPECT_EQ(encode(Node{}), Bytes8(8, 0x00));
  EXPECT_EQ(encode(new_root(1000)), (Bytes8{0, 0, 0, 0, 0, 0, 1, 1, 0, 0xF3, 0xF8}));
  Node n;
  n.lo = IVec::from_slice(Bytes8{0x41, 0x42, 0x43, 0x44, 0x45});
  n.prefix_len = 5;
  n.leaf().keys.push_back(IVec::from_slice(Bytes8{0x34, 0x32}));
  n.leaf().values.push_back(iv("v"));
  auto bytes = encode(n);
  // next, merging_child, merging, prefix_len, lo, hi, tag, count, key "42", value "v"
  EXPECT_EQ(bytes, (Bytes8{0, 0, 0, 5, 5, 0x41, 0x42, 0x43, 0x44, 0x45, 0, 0, 1, 2, 0x34, 0x32, 1, 'v'}));
  auto back = deserialize_node(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->debug(), n.debug());
  EXPECT_EQ(back->full_key(0), IVec::from_slice(Bytes8{0x41, 0x42, 0x43, 0x44, 0x45, 0x34, 0x32}));
}

TEST(SerializationBodies, LinkMetaCounterBytes) {
  struct Case {
    Link link;
    Bytes8 bytes;
  };
  const Case cases[] = {
      {link::Set{iv("k"), iv("v")}, {0x00, 0x01, 0x6B, 0x01, 0x76}},
      {link::Del{iv("k")}, {0x01, 0x01, 0x6B}},
      {link::ParentMergeIntention{300}, {0x02, 0xF1, 0x3C}},
      {link::ParentMergeConfirm{}, {0x03}},
      {link::ChildMergeCap{}, {0x04}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.link), c.bytes) << link_debug(c.link);
    auto back = deserialize_link(c.bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(link_debug(*back), link_debug(c.link));
  }
  pagecache::Meta m;
  m.inner[iv("b")] = 7;
  m.inner[iv("a")] = 5;
  EXPECT_EQ(encode(m), (Bytes8{0x01, 0x61, 0x05, 0x01, 0x62, 0x07}));
  EXPECT_TRUE(encode(pagecache::Meta{}).empty());
  // Entries out of order in the body are sorted by name.
  auto back = deserialize_meta(Bytes8{0x01, 0x62, 0x07, 0x01, 0x61, 0x05});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->inner.begin()->second, 5u);
  Bytes8 counter(serialized_size(pagecache::Body(pagecache::CounterBody{1000000})));
  ASSERT_TRUE(serialize_body(pagecache::CounterBody{1000000}, counter));
  EXPECT_EQ(counter, (Bytes8{0xFA, 0x40, 0x42, 0x0F}));
  // A body that does not fill its destination exactly is refused.
  Bytes8 wrong(5);
  EXPECT_FALSE(serialize_body(pagecache::CounterBody{1000000}, wrong));
}

TEST(SerializationBodies, DecodingFailuresAndShortLists) {
  // Ends before the merging byte; unknown tags; a string running past the end.
  const Bytes8 bad[] = {{0, 0}, {0, 0, 0, 0, 0, 0, 2, 0}, {0, 0, 0, 0, 5, 'a'}};
  for (const auto& b : bad) EXPECT_FALSE(deserialize_node(b));
  EXPECT_FALSE(deserialize_link(Bytes8{5}));
  EXPECT_FALSE(deserialize_link(Bytes8{0, 3, 'a'}));
  EXPECT_FALSE(deserialize_meta(Bytes8{2, 'a'}));
  EXPECT_FALSE(deserialize_counter(Bytes8{}));
  auto err = deserialize_update(pagecache::MessageKind::Free, 9, {});
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error().display(), "Unexpected bug has happened: non-link/replace found in pull of pid 9. PLEASE REPORT THIS BUG!");
  EXPECT_EQ(deserialize_update(pagecache::MessageKind::Canceled, 9, {}).error().display(),
            "Read corrupted data at file offset None backtrace ()");
  // A leaf whose body ends inside its lists decodes shorter lists; the tree
  // only accepts a node with one value per key.
  EXPECT_FALSE(deserialize_node(Bytes8{0, 0, 0, 0, 0, 0, 0, 2, 1, 'a'}));
  auto empty_lists = deserialize_node(Bytes8{0, 0, 0, 0, 0, 0, 0, 3});
  ASSERT_TRUE(empty_lists);
  EXPECT_EQ(empty_lists->len(), 0u);
}

TEST(SerializationBodies, MessageKinds) {
  using pagecache::LogKind;
  using pagecache::MessageKind;
  using pagecache::message_kind_for;
  EXPECT_EQ(message_kind_for(1, LogKind::Replace, false), MessageKind::Counter);
  EXPECT_EQ(message_kind_for(0, LogKind::Replace, true), MessageKind::BlobMeta);
  EXPECT_EQ(message_kind_for(pagecache::kBatchManifestPid, LogKind::Skip, false), MessageKind::BatchManifest);
  EXPECT_EQ(message_kind_for(7, LogKind::Free, false), MessageKind::Free);
  EXPECT_EQ(message_kind_for(7, LogKind::Replace, false), MessageKind::InlineNode);
  EXPECT_EQ(message_kind_for(7, LogKind::Link, true), MessageKind::BlobLink);
  EXPECT_EQ(message_kind_for(7, LogKind::Skip, false), std::nullopt);
}

}  // namespace
}  // namespace kelm::serialization
