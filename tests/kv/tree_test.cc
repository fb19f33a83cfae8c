#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "kv/tree/leaf_reads.h"
#include "kv_test_util.h"

namespace kelm {
namespace {

using testing::config_for;
using testing::fresh_dir;
using testing::open_or_die;
using testing::str;

TEST(TreeStart, FreshDirectoryLayout) {
  auto dir = fresh_dir("layout");
  Db db = open_or_die(config_for(dir));
  auto& pc = *db.context().pagecache;
  auto guard = pin();
  auto meta = pc.get_meta(guard);
  ASSERT_TRUE(meta);
  const auto& m = std::get<pagecache::Meta>(*meta->read->update);
  ASSERT_EQ(m.inner.size(), 1u);
  EXPECT_EQ(str(m.inner.begin()->first), "__kelm__default");
  EXPECT_EQ(m.inner.begin()->second, 3u);
  auto idgen = pc.get_idgen(guard);
  ASSERT_TRUE(idgen);
  EXPECT_EQ(idgen->second, 0u);
  EXPECT_EQ(pc.idgen.load(), 0u);
  EXPECT_EQ(pc.idgen_persists.load(), 0u);
  EXPECT_FALSE(pc.was_recovered);
  auto leaf = pc.get(2, guard);
  ASSERT_TRUE(leaf && *leaf);
  EXPECT_TRUE((*leaf)->as_node().is_leaf());
  auto root = pc.get(3, guard);
  ASSERT_TRUE(root && *root);
  EXPECT_EQ((*root)->as_node().index().pointers, std::vector<PageId>{2});
  EXPECT_EQ(db.default_tree().root_for_test(), 3u);
}

TEST(TreeStart, ReopenFindsTreesAndSeedsIdgen) {
  auto dir = fresh_dir("reopen");
  {
    Db db = open_or_die(config_for(dir));
    auto t = db.open_tree("edges");
    ASSERT_TRUE(t);
    ASSERT_TRUE(t->insert("k", "v"));
  }
  Db db = open_or_die(config_for(dir));
  auto& pc = *db.context().pagecache;
  EXPECT_TRUE(pc.was_recovered);
  EXPECT_EQ(pc.idgen.load(), 2000000u);
  EXPECT_EQ(pc.idgen_persists.load(), 0u);
  auto t = db.open_tree("edges");
  ASSERT_TRUE(t);
  auto g = t->get("k");
  ASSERT_TRUE(g && *g);
  EXPECT_EQ(str(**g), "v");
  EXPECT_EQ(db.tree_names().size(), 2u);
}

TEST(TreePointOps, InsertGetRemoveAndPrevious) {
  auto dir = fresh_dir("points");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  EXPECT_FALSE(*t.get("a"));
  EXPECT_FALSE(*t.contains_key(Tree::as_bytes("a")));
  EXPECT_FALSE(*t.remove("a"));
  EXPECT_FALSE(*t.insert("a", "1"));
  EXPECT_EQ(str(**t.insert("a", "2")), "1");
  EXPECT_EQ(str(**t.insert("a", "2")), "2");  // same value: nothing written, value returned
  EXPECT_TRUE(*t.contains_key(Tree::as_bytes("a")));
  EXPECT_EQ(str(**t.remove("a")), "2");
  EXPECT_FALSE(*t.get("a"));
}

TEST(TreePointOps, ManyKeysSplitAndStayOrdered) {
  auto dir = fresh_dir("many");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  std::map<std::string, std::string> model;
  for (int i = 0; i < 5000; ++i) {
    std::string k = "key" + std::to_string((i * 7919) % 5000);
    std::string v = "value" + std::to_string(i);
    t.insert(k, v);
    model[k] = v;
  }
  for (auto& [k, v] : model) {
    auto g = t.get(k);
    ASSERT_TRUE(g && *g) << k;
    EXPECT_EQ(str(**g), v);
  }
  auto it = t.iter();
  auto mit = model.begin();
  while (auto item = it.next()) {
    ASSERT_TRUE(*item);
    ASSERT_NE(mit, model.end());
    EXPECT_EQ(str((*item)->first), mit->first);
    EXPECT_EQ(str((*item)->second), mit->second);
    ++mit;
  }
  EXPECT_EQ(mit, model.end());
  for (int i = 0; i < 5000; i += 2) t.remove("key" + std::to_string(i));
  for (int i = 0; i < 5000; ++i) {
    auto g = t.get("key" + std::to_string(i));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->has_value(), i % 2 == 1) << i;
  }
}

}  // namespace
}  // namespace kelm

namespace kelm {
namespace {

using testing::config_for;
using testing::fresh_dir;
using testing::open_or_die;
using testing::str;
using testing::standin_config_for;

// The node of `pid` as the page cache holds it now.
Node node_of(const Db& db, PageId pid) {
  auto guard = pin();
  auto v = db.context().pagecache->get(pid, guard);
  if (!v || !*v) throw std::runtime_error("no page " + std::to_string(pid));
  return (*v)->as_node().clone();
}

TEST(TreeStructure, LeafSplitPointAndRootHoist) {
  auto dir = fresh_dir("split");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");  // root index (pid 5) over leaf (pid 4)
  std::vector<std::string> keys = {"a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "apple", "apricot",
                                   "b1", "b2", "b3", "b4", "b5", "b6", "b7"};
  for (auto& k : keys) ASSERT_TRUE(t.insert(k, "v"));
  Node leaf = node_of(db, 4);
  EXPECT_EQ(leaf.len(), 17u);
  ASSERT_TRUE(t.get("a1"));  // the next descent splits the full leaf
  leaf = node_of(db, 4);
  ASSERT_EQ(leaf.len(), 9u);
  EXPECT_EQ(str(leaf.hi), "apr");
  Node right = node_of(db, leaf.next);
  EXPECT_EQ(right.len(), 8u);
  EXPECT_EQ(str(right.lo), "apr");
  Node root = node_of(db, t.root_for_test());
  EXPECT_EQ(root.index().pointers, (std::vector<PageId>{4, leaf.next}));
  // Splitting the root index itself hoists a new root with two separators.
  for (int i = 0; i < 6000; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(100000 + i), "v"));
  for (int i = 0; i < 6000; i += 50) ASSERT_TRUE(t.get("k" + std::to_string(100000 + i)));
  PageId r = t.root_for_test();
  EXPECT_NE(r, 5u);
  Node top = node_of(db, r);
  ASSERT_TRUE(top.is_index());
  EXPECT_TRUE(top.lo.empty() && top.hi.empty());
  auto guard = pin();
  auto meta = db.context().pagecache->get_meta(guard);
  EXPECT_EQ(std::get<pagecache::Meta>(*meta->read->update).inner.at(IVec::from_slice("t")), r);
}

TEST(TreeStructure, RightNodePrefixEncoding) {
  auto dir = fresh_dir("prefix");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(t.insert("abc" + std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i), "v"));
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(t.get("abca"));
  // Every leaf with both bounds stores keys without their shared prefix.
  Node root = node_of(db, t.root_for_test());
  size_t checked = 0;
  for (PageId p : root.index().pointers) {
    Node n = node_of(db, p);
    if (n.lo.empty() || n.hi.empty()) continue;
    size_t common = 0;
    while (common < n.lo.size() && common < n.hi.size() && n.lo[common] == n.hi[common]) ++common;
    EXPECT_EQ(n.prefix_len, std::min<size_t>(common, 255));
    for (size_t i = 0; i < n.len(); ++i) EXPECT_TRUE(str(n.full_key(i)).starts_with("abc"));
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

TEST(TreeStructure, UnderfullLeafMergesIntoLeftSibling) {
  auto dir = fresh_dir("merge");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 10; i < 27; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(i), "v"));
  ASSERT_TRUE(t.get("k10"));  // split: k10..k18 | k19..k26
  Node root = node_of(db, t.root_for_test());
  ASSERT_EQ(root.index().pointers.size(), 2u);
  PageId left = root.index().pointers[0], right = root.index().pointers[1];
  for (int i = 19; i < 24; ++i) ASSERT_TRUE(t.remove("k" + std::to_string(i)));
  // The leftmost child is never merged however small.
  for (int i = 10; i < 17; ++i) ASSERT_TRUE(t.remove("k" + std::to_string(i)));
  ASSERT_TRUE(t.get("k25"));  // right holds 3 keys now: the descent merges it
  root = node_of(db, t.root_for_test());
  EXPECT_EQ(root.index().pointers, std::vector<PageId>{left});
  Node merged = node_of(db, left);
  EXPECT_TRUE(merged.hi.empty());
  EXPECT_EQ(merged.next, 0u);
  EXPECT_EQ(merged.len(), 5u);
  auto guard = pin();
  EXPECT_FALSE(*db.context().pagecache->get(right, guard));
  for (int i : {17, 18, 24, 25, 26}) EXPECT_EQ(str(**t.get("k" + std::to_string(i))), "v");
}

TEST(TreeStructure, ManyDeletesShrinkTheTree) {
  auto dir = fresh_dir("shrink");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 0; i < 4000; ++i) ASSERT_TRUE(t.insert("key" + std::to_string(10000 + i), std::string(20, 'v')));
  for (int i = 0; i < 4000; ++i)
    if (i % 100) ASSERT_TRUE(t.remove("key" + std::to_string(10000 + i)));
  for (int i = 0; i < 4000; ++i) {
    auto g = t.get("key" + std::to_string(10000 + i));
    ASSERT_TRUE(g) << g.error().display();
    ASSERT_EQ(g->has_value(), i % 100 == 0);
  }
  std::string dump = t.debug();
  size_t lines = std::count(dump.begin(), dump.end(), '\n');
  EXPECT_LT(lines, 40u) << dump;  // 40 keys left: a handful of nodes, not hundreds
}

TEST(TreeIteration, EdgeCases) {
  auto dir = fresh_dir("iter");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  EXPECT_FALSE(t.iter().next());
  for (std::string k : {"edge:1", "node:a", "node:b", "node:c", "nodf", "node;", "a"}) ASSERT_TRUE(t.insert(k, k));
  std::vector<std::string> got;
  auto it = t.scan_prefix("node:");
  while (auto item = it.next()) got.push_back(str((*item)->first));
  EXPECT_EQ(got, (std::vector<std::string>{"node:a", "node:b", "node:c"}));
  EXPECT_FALSE(it.next());
  EXPECT_FALSE(it.next());
  auto empty = t.range(Bound::included(IVec::from_slice("z")), Bound::excluded(IVec::from_slice("b")));
  EXPECT_FALSE(empty.next());
  // Every key sits in one leaf, which the iterator copied at its first step:
  // later changes to that leaf are not seen (a removed key is still returned).
  auto it2 = t.iter();
  EXPECT_EQ(str((*it2.next())->first), "a");
  ASSERT_TRUE(t.insert("0", "behind"));
  ASSERT_TRUE(t.insert("node:bb", "ahead"));
  ASSERT_TRUE(t.remove("node:c"));
  got.clear();
  while (auto item = it2.next()) got.push_back(str((*item)->first));
  EXPECT_EQ(got, (std::vector<std::string>{"edge:1", "node:a", "node:b", "node:c", "node;", "nodf"}));
}

TEST(TreeIteration, AcrossLeafBoundaries) {
  auto dir = fresh_dir("iter_leaves");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(1000 + i), "v"));
  int n = 0;
  std::string prev;
  auto it = t.range(Bound::excluded(IVec::from_slice("k1000")), Bound::included(IVec::from_slice("k1499")));
  while (auto item = it.next()) {
    std::string k = str((*item)->first);
    EXPECT_GT(k, prev);
    prev = k;
    ++n;
  }
  EXPECT_EQ(n, 499);
}

// Ranges over long keys (stored prefix-encoded, longer than an inline IVec)
// spanning many leaves agree with an ordered map, for every kind of bound,
// including bounds that fall on a stored key; an ended scan stays ended.
TEST(TreeIteration, RangesOverLongKeysMatchAnOrderedMap) {
  auto dir = fresh_dir("iter_long");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  std::map<std::string, std::string> model;
  std::mt19937_64 rng(5);
  for (int i = 0; i < 700; ++i) {
    std::string k = "node:" + std::string(30, 'p') + std::to_string(rng() % 100000);
    model[k] = "value " + k;
    ASSERT_TRUE(t.insert(k, model[k]));
  }
  std::vector<std::string> keys;
  for (const auto& [k, v] : model) keys.push_back(k);
  auto bound = [](Bound::Kind kind, const std::string& k) {
    return kind == Bound::Kind::Unbounded ? Bound::unbounded() : Bound{kind, IVec::from_slice(k)};
  };
  using K = Bound::Kind;
  for (K lk : {K::Included, K::Excluded, K::Unbounded}) {
    for (K hk : {K::Included, K::Excluded, K::Unbounded}) {
      for (int round = 0; round < 6; ++round) {
        size_t a = rng() % keys.size(), b = rng() % keys.size();
        if (a > b) std::swap(a, b);
        // Round 0 bounds fall between stored keys, the others on them.
        std::string lo = round == 0 ? keys[a] + "!" : keys[a], hi = round == 0 ? keys[b] + "!" : keys[b];
        std::vector<std::pair<std::string, std::string>> want, got;
        for (const auto& [k, v] : model) {
          bool above = lk == K::Unbounded || (lk == K::Included ? k >= lo : k > lo);
          bool below = hk == K::Unbounded || (hk == K::Included ? k <= hi : k < hi);
          if (above && below) want.emplace_back(k, v);
        }
        auto it = t.range(bound(lk, lo), bound(hk, hi));
        while (auto item = it.next()) {
          ASSERT_TRUE(*item);
          got.emplace_back(str((*item)->first), str((*item)->second));
        }
        EXPECT_FALSE(it.next());
        EXPECT_FALSE(it.next());
        EXPECT_EQ(got, want) << "lo kind " << int(lk) << " hi kind " << int(hk) << " round " << round;
      }
    }
  }
}

// count_keys agrees with iterating the same range, across many leaves (with
// prefix-encoded keys), with and without a key filter; AscendingReader
// answers as get does, in and out of order.
TEST(TreeLeafReads, CountAndAscendingReadsMatchPointOperations) {
  auto dir = fresh_dir("leaf_reads");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  EXPECT_EQ(count_keys(t, {}, {}), 0u);
  for (int i = 0; i < 3000; ++i) {
    const std::string id = std::to_string(100000 + i);
    ASSERT_TRUE(t.insert("node:" + id, "v" + id));
    if (i % 3 == 0) ASSERT_TRUE(t.insert("node:" + id + ":v1", "version"));
  }
  ASSERT_TRUE(t.insert("a", "v"));
  ASSERT_TRUE(t.insert("node;", "v"));
  const KeyFilter short_keys = [](Bytes key) { return key.size() == 11; };
  const std::pair<std::string, std::string> ranges[] = {
      {"", ""}, {"node:", "node;"}, {"node:101000", "node:102000"}, {"node:1015", "node:1016"},
      {"z", "b"}, {"node:109999", ""}, {"node:102999:v1", "node:102999:v2"},
  };
  for (const auto& [lo, hi] : ranges) {
    uint64_t all = 0, short_only = 0;
    auto it = hi.empty() ? t.range(Bound::included(IVec::from_slice(lo)), Bound::unbounded())
                         : t.range(Bound::included(IVec::from_slice(lo)), Bound::excluded(IVec::from_slice(hi)));
    while (auto item = it.next()) {
      ASSERT_TRUE(*item);
      ++all;
      if (short_keys((*item)->first.bytes())) ++short_only;
    }
    EXPECT_EQ(count_keys(t, Tree::as_bytes(lo), Tree::as_bytes(hi)), all) << lo << " .. " << hi;
    EXPECT_EQ(count_keys(t, Tree::as_bytes(lo), Tree::as_bytes(hi), short_keys), short_only) << lo << " .. " << hi;
  }
  AscendingReader reader(t);
  for (int i : {-5, 0, 1, 2, 700, 701, 2999, 3000, 1500, 10}) {
    const std::string key = "node:" + std::to_string(100000 + i);
    auto got = reader.get(Tree::as_bytes(key));
    auto want = t.get(key);
    ASSERT_TRUE(got && want);
    EXPECT_EQ(got->has_value(), want->has_value()) << key;
    if (*got && *want) EXPECT_EQ(str(**got), str(**want));
  }
}

TEST(TreeCounters, FetchAndUpdateKeepsTheMaximum) {
  auto dir = fresh_dir("counter");
  Db db = open_or_die(config_for(dir));
  auto t = db.default_tree();
  auto be = [](const std::optional<IVec>& v) { return testing::be64(v); };
  auto raise_to = [&](uint64_t operand) {
    return t.fetch_and_update(Tree::as_bytes("meta:next_timestamp"), [&](const std::optional<IVec>& cur) {
      return std::optional<IVec>(testing::be64_ivec(cur ? std::max(be(cur), operand) : operand));
    });
  };
  EXPECT_FALSE(*raise_to(50));
  EXPECT_EQ(be(*t.get("meta:next_timestamp")), 50u);
  EXPECT_EQ(be(*raise_to(10)), 50u);  // below: rewrites the same bytes
  EXPECT_EQ(be(*t.get("meta:next_timestamp")), 50u);
  EXPECT_EQ(be(IVec::from_slice(std::string("\x01\x02\x03", 3))), 66051u);
  EXPECT_EQ(be(IVec::from_slice(std::string("\0\0\0\0\0\0\0\x05\x09\x09", 10))), 5u);
  std::vector<std::thread> ths;
  std::atomic<int> swaps{0};
  for (int th = 0; th < 4; ++th)
    ths.emplace_back([&, th] {
      for (int i = 0; i < 200; ++i)
        if (raise_to(1000 + th * 1000 + i)) ++swaps;
    });
  for (auto& th : ths) th.join();
  EXPECT_EQ(swaps.load(), 800);
  EXPECT_EQ(be(*t.get("meta:next_timestamp")), 4199u);
}

TEST(TreeBatch, AppliesAllAndLastWriteWins) {
  auto dir = fresh_dir("batch");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  ASSERT_TRUE(t.insert("gone", "x"));
  ASSERT_TRUE(t.apply_batch(Batch{}));  // empty batch: a manifest only
  Batch b;
  b.insert("a", "1");
  b.insert("a", "2");
  b.remove("gone");
  b.remove("never");
  EXPECT_EQ(b.size(), 3u);
  ASSERT_TRUE(t.apply_batch(std::move(b)));
  EXPECT_EQ(str(**t.get("a")), "2");
  EXPECT_FALSE(*t.get("gone"));
}

// A batch that fails part-way leaves nothing behind, in memory and after a
// crash and recovery.
TEST(TreeBatch, FailedBatchRollsBack) {
  auto dir = fresh_dir("batch_fail");
  Lsn end;
  {
    Db db = open_or_die(standin_config_for(dir));
    auto t = *db.open_tree("t");
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(i), "old"));
    ASSERT_TRUE(t.flush());
    Batch b;
    for (int i = 0; i < 40; ++i) b.insert("k" + std::to_string(i), "new");
    std::atomic<int> links{0};
    pagecache::standin::Faults f;
    f.freeze_stable = true;
    f.on_reserve = [&](pagecache::LogKind kind, PageId) -> std::optional<Error> {
      if (kind == pagecache::LogKind::Link && ++links == 15)
        return Error::io(zudizid::common::IoError(zudizid::common::IoErrorKind::Other, "disk full"));
      return std::nullopt;
    };
    pagecache::standin::set_faults(f);
    auto r = t.apply_batch(std::move(b));
    f.on_reserve = nullptr;
    pagecache::standin::set_faults(f);
    end = db.context().pagecache->log().max_reserved_lsn();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "IO error: disk full");
    for (int i = 0; i < 40; ++i) {
      auto g = t.get("k" + std::to_string(i));
      ASSERT_TRUE(g);
      if (i < 20) EXPECT_EQ(str(**g), "old") << i;
      else EXPECT_FALSE(*g) << i;
    }
  }
  // The crash keeps the batch's writes but not the whole of its undo.
  pagecache::standin::crash(dir, end - 1);
  pagecache::standin::clear_faults();
  Db db = open_or_die(standin_config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 0; i < 40; ++i) {
    auto g = t.get("k" + std::to_string(i));
    ASSERT_TRUE(g);
    if (i < 20) EXPECT_EQ(str(**g), "old") << i;
    else EXPECT_FALSE(*g) << i;
  }
}

TEST(TreeBatch, TornBatchIsNotReplayed) {
  auto dir = fresh_dir("batch_torn");
  Lsn before, end;
  {
    Db db = open_or_die(standin_config_for(dir));
    auto t = *db.open_tree("t");
    ASSERT_TRUE(t.insert("keep", "1"));
    ASSERT_TRUE(t.flush());
    before = db.context().pagecache->log().max_reserved_lsn();
    pagecache::standin::Faults f;
    f.freeze_stable = true;  // nothing after this point is known durable
    pagecache::standin::set_faults(f);
    Batch b;
    for (int i = 0; i < 10; ++i) b.insert("b" + std::to_string(i), "v");
    ASSERT_TRUE(t.apply_batch(std::move(b)));
    end = db.context().pagecache->log().max_reserved_lsn();
  }
  // The log ends between the batch's manifest and its last write.
  pagecache::standin::crash(dir, end - 1);
  pagecache::standin::clear_faults();
  {
    Db db = open_or_die(standin_config_for(dir));
    auto t = *db.open_tree("t");
    auto keep = t.get("keep");
    ASSERT_TRUE(keep && *keep);
    EXPECT_EQ(str(**keep), "1");
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(*t.get("b" + std::to_string(i))) << i;
  }
  EXPECT_GT(end, before);
}

TEST(TreeHandles, OpenTreeOnceAndTeardownFlush) {
  auto dir = fresh_dir("handles");
  Db db = open_or_die(config_for(dir));
  auto a = *db.open_tree("edges");
  auto b = *db.open_tree("edges");
  EXPECT_EQ(a.inner(), b.inner());
  ASSERT_TRUE(a.insert("k", "v"));
  EXPECT_EQ(str(**b.get("k")), "v");
  auto empty = db.open_tree("");
  ASSERT_TRUE(empty);
  std::vector<std::thread> ths;
  std::vector<TreeInner*> seen(8);
  for (int i = 0; i < 8; ++i) ths.emplace_back([&, i] { seen[i] = db.open_tree("fresh")->inner(); });
  for (auto& th : ths) th.join();
  for (auto* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(db.tree_names().size(), 4u);
  // Dropping a handle that is not the last performs no flush.
  Lsn stable = db.context().pagecache->log().stable_lsn();
  { Tree c = a; }
  EXPECT_EQ(db.context().pagecache->log().stable_lsn(), stable);
}

}  // namespace
}  // namespace kelm

namespace kelm {
namespace {

using testing::config_for;
using testing::fresh_dir;
using testing::open_or_die;
using testing::str;

int threads_named(const std::string& name) {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream f(e.path() / "comm");
    std::string comm;
    std::getline(f, comm);
    n += comm == name;
  }
  return n;
}

TEST(TreeStart, FreedPageIsReusedFirstAfterRestart) {
  auto dir = fresh_dir("free_restart");
  {
    Db db = open_or_die(config_for(dir));
    auto& pc = *db.context().pagecache;
    auto guard = pin();
    std::vector<std::pair<PageId, pagecache::PageView>> pages;
    for (int i = 0; i < 6; ++i) pages.push_back(*pc.allocate(pagecache::Update(empty_leaf()), guard));
    ASSERT_EQ(pages[3].first, 7u);
    ASSERT_TRUE(pc.free(7, pages[3].second, guard)->installed);
  }
  Db db = open_or_die(config_for(dir));
  auto& pc = *db.context().pagecache;
  auto guard = pin();
  auto slot = pc.table().get(7);
  ASSERT_TRUE(slot);
  EXPECT_TRUE(std::holds_alternative<pagecache::FreeMark>(*slot->read->update));
  ASSERT_EQ(slot->read->cache_infos.size(), 1u);
  EXPECT_EQ(slot->read->cache_infos[0].log_size, 32u);
  EXPECT_EQ(pc.allocate(pagecache::Update(empty_leaf()), guard)->first, 7u);
  EXPECT_EQ(pc.allocate(pagecache::Update(empty_leaf()), guard)->first, 10u);
}

TEST(TreeStart, FlusherThreadAndCapacityFloor) {
  auto dir = fresh_dir("flusher");
  int before = threads_named("log flusher");
  {
    Db db = open_or_die(config_for(dir));
    EXPECT_EQ(threads_named("log flusher"), before);
  }
  {
    auto cfg = config_for(dir);
    cfg.flush_every_ms(500);
    Db db = open_or_die(cfg);
    // The thread names itself once it runs.
    for (int i = 0; i < 200 && threads_named("log flusher") == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(threads_named("log flusher"), before + 1);
  }
  EXPECT_EQ(threads_named("log flusher"), before);
  auto cfg = config_for(dir);
  cfg.cache_capacity(255);
  auto db = cfg.open();
  ASSERT_FALSE(db);
  EXPECT_EQ(db.error().display(), "Unsupported: Please configure the cache capacity to be at least 256 bytes");
  cfg.cache_capacity(256);
  EXPECT_TRUE(cfg.open());
}

TEST(TreeDump, LevelsFromTheRootDown) {
  auto dir = fresh_dir("dump");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  std::string d = t.debug();
  EXPECT_TRUE(d.starts_with("Tree: \n\tPageCache { max: 6 free: [] }\n\tlevel 0:\n\t\t5: Node { ")) << d;
  EXPECT_NE(d.find("\n\tlevel 1:\n\t\t4: Node { "), std::string::npos) << d;
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(i), "v"));
  ASSERT_TRUE(t.get("k1"));
  d = t.debug();
  size_t leaves = 0;
  for (size_t p = d.find("level 1:"); (p = d.find("Leaf(", p)) != std::string::npos; ++p) ++leaves;
  EXPECT_GE(leaves, 2u) << d;
}

// Relocation moves a page to the log tail with its content and ts unchanged.
TEST(TreeRelocation, RewritePageKeepsContentAndTs) {
  auto dir = fresh_dir("rewrite");
  Db db = open_or_die(config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(i), "v"));
  auto& pc = *db.context().pagecache;
  auto guard = pin();
  auto before = *pc.table().get(4);
  uint64_t ts = before.read->ts();
  LogOffset seg = before.read->cache_infos.front().pointer.offset;
  ASSERT_TRUE(pc.rewrite_page(4, seg - seg % db.context().config->segment_size, guard));
  auto after = *pc.table().get(4);
  ASSERT_EQ(after.read->cache_infos.size(), 1u);
  EXPECT_EQ(after.read->ts(), ts);
  EXPECT_GT(after.read->cache_infos[0].lsn, before.read->last_lsn());
  EXPECT_EQ(after.as_node().len(), 5u);
  // A page with no fragment in the segment is left alone.
  ASSERT_TRUE(pc.rewrite_page(4, 1ull << 40, guard));
  EXPECT_EQ(pc.table().get(4)->read, after.read);
}

}  // namespace
}  // namespace kelm

namespace kelm {
namespace {

TEST(TreeHandles, FlushJobOnTheIoPool) {
  auto dir = testing::fresh_dir("flush_job");
  Db db = testing::open_or_die(testing::config_for(dir));
  auto t = db.default_tree();
  ASSERT_TRUE(t.insert("k", "v"));
  auto first = Tree::wait_flush(t.flush_async_job());
  ASSERT_TRUE(first) << first.error().display();
  EXPECT_GT(*first, 0u);
  EXPECT_EQ(*Tree::wait_flush(t.flush_async_job()), 0u);
  // A job dropped by the pool without running leaves its slot unfilled.
  auto [filler, waiter] = zudizid::common::OneShot<Result<uint64_t>>::make();
  { auto dropped = std::move(filler); }
  auto r = Tree::wait_flush(std::move(waiter));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(),
            "Unexpected bug has happened: threadpool failed to complete action before shutdown. PLEASE REPORT THIS BUG!");
}

}  // namespace
}  // namespace kelm
