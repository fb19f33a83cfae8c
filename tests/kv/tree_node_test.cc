#include <gtest/gtest.h>

#include "kv/tree/node.h"

namespace kelm {
namespace {

IVec iv(std::string_view s) { return IVec::from_slice(s); }
Bytes b(std::string_view s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

Node leaf(std::string lo, std::string hi, uint8_t plen, std::vector<std::string> stored) {
  Node n;
  n.lo = iv(lo);
  n.hi = iv(hi);
  n.prefix_len = plen;
  for (auto& s : stored) {
    n.leaf().keys.push_back(iv(s));
    n.leaf().values.push_back(iv("v" + s));
  }
  return n;
}

std::string defect_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const NodeDefect& d) {
    return d.text;
  }
  return "";
}

TEST(TreeNode, ApplySetDelAndBounds) {
  Node n = leaf("", "m", 0, {"a", "c"});
  n.apply(link::Set{iv("a"), iv("x")});
  EXPECT_EQ(n.len(), 2u);
  EXPECT_EQ(n.leaf().values[0], iv("x"));
  n.apply(link::Set{iv("b"), iv("y")});
  EXPECT_EQ(n.leaf().keys[1], iv("b"));
  n.apply(link::Del{iv("zz")});
  EXPECT_EQ(n.len(), 3u);
  EXPECT_EQ(defect_of([&] { n.apply(link::Set{iv("m"), iv("1")}); }),
            "assertion failed: *key < self.hi[self.prefix_len as usize..]");
  Node empty;
  empty.apply(link::Del{iv("a")});
  EXPECT_EQ(empty.len(), 0u);
  n.apply(link::ChildMergeCap{});
  EXPECT_EQ(defect_of([&] { n.apply(link::Del{iv("a")}); }), "somehow a link was applied to a node after it was merged");
}

TEST(TreeNode, LookupsWithPrefix) {
  Node n = leaf("abc", "abd", 3, {"w", "x"});
  auto kv = n.leaf_pair_for_key(b("zzzx"));  // the first prefix_len bytes are not compared
  ASSERT_TRUE(kv);
  EXPECT_EQ(*kv->second, iv("vx"));
  auto [enc, cur] = n.node_kv_pair(b("abcq"));
  EXPECT_EQ(enc, iv("q"));
  EXPECT_FALSE(cur);
  Node ix;
  ix.data = Index{{iv(""), iv("k")}, {10, 20}};
  EXPECT_EQ(ix.index_next_node(b("a")), (std::pair<size_t, PageId>{0, 10}));
  EXPECT_EQ(ix.index_next_node(b("k")), (std::pair<size_t, PageId>{1, 20}));
  EXPECT_EQ(ix.index_next_node(b("z")), (std::pair<size_t, PageId>{1, 20}));
  EXPECT_FALSE(ix.parent_split(b("k"), 30));
  EXPECT_TRUE(ix.parent_split(b("e"), 30));
  EXPECT_EQ(ix.index().pointers, (std::vector<PageId>{10, 30, 20}));
  ix.apply(link::ParentMergeIntention{10});
  ix.apply(link::ParentMergeConfirm{});
  EXPECT_EQ(ix.index().pointers, (std::vector<PageId>{30, 20}));
  EXPECT_EQ(ix.merging_child, 0u);
}

TEST(TreeNode, PrefixDecode) {
  EXPECT_EQ(Node::prefix_decode(b("ab"), iv("cd"), 0), iv("abcd"));
  EXPECT_EQ(Node::prefix_decode(b("ab"), iv("cd"), 3), iv("d"));
  EXPECT_EQ(Node::prefix_decode(b("ab"), iv("cd"), 4), iv(""));
}

}  // namespace
}  // namespace kelm

namespace kelm {
namespace {

TEST(TreeNode, ConcatAcrossTheInlineLimit) {
  std::string a(10, 'a'), b(12, 'b'), c(13, 'c');
  IVec in = IVec::concat(std::span(reinterpret_cast<const uint8_t*>(a.data()), a.size()), std::span(reinterpret_cast<const uint8_t*>(b.data()), b.size()));
  EXPECT_TRUE(in.is_inline());
  EXPECT_EQ(in.view(), a + b);
  IVec sh = IVec::concat(std::span(reinterpret_cast<const uint8_t*>(a.data()), a.size()), std::span(reinterpret_cast<const uint8_t*>(c.data()), c.size()));
  EXPECT_FALSE(sh.is_inline());
  EXPECT_EQ(sh.view(), a + c);
  EXPECT_EQ(IVec::concat({}, {}), IVec());
}

}  // namespace
}  // namespace kelm
