// Concurrency stress for the epoch guard, the page cache and the trees; run
// under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <random>
#include <thread>

#include "kv/sync/concurrency_control.h"
#include "kv_test_util.h"

namespace kelm {
namespace {

using testing::config_for;
using testing::fresh_dir;
using testing::open_or_die;
using testing::str;
using testing::standin_config_for;

#ifdef ZUDIZID_SANITIZED
constexpr int kScale = 1;
#else
constexpr int kScale = 4;
#endif

TEST(EpochStress, RetiredRecordsOutliveTheirReaders) {
  struct Rec {
    uint64_t a, b;
  };
  std::atomic<Rec*> shared{new Rec{0, 0}};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; ++t)
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto g = pin();
        Rec* r = shared.load(std::memory_order_acquire);
        ASSERT_EQ(r->a, r->b);
      }
    });
  for (uint64_t i = 1; i < 20000u * kScale; ++i) {
    auto g = pin();
    Rec* old = shared.exchange(new Rec{i, i}, std::memory_order_acq_rel);
    g.retire(old);
  }
  stop = true;
  for (auto& r : readers) r.join();
  delete shared.load();
}

TEST(EpochStress, ConcurrencyControlExcludesBatches) {
  auto& cc = tree::concurrency_control();
  std::atomic<int> shared_in{0}, exclusive_in{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> ths;
  for (int t = 0; t < 6; ++t)
    ths.emplace_back([&] {
      while (!stop.load()) {
        auto s = cc.read();
        ++shared_in;
        ASSERT_EQ(exclusive_in.load(), 0);
        --shared_in;
      }
    });
  for (int i = 0; i < 500 * kScale; ++i) {
    auto x = cc.write();
    ++exclusive_in;
    ASSERT_EQ(shared_in.load(), 0);
    --exclusive_in;
  }
  stop = true;
  for (auto& t : ths) t.join();
}

TEST(TreeStress, MixedWritersScannersAndBatches) {
  auto dir = fresh_dir("stress");
  auto cfg = config_for(dir);
  cfg.cache_capacity(64 * 1024).flush_every_ms(5);
  Db db = open_or_die(cfg);
  auto t = *db.open_tree("stress");
  const int ops = 3000 * kScale;
  std::vector<std::map<std::string, std::string>> own(4);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto value_for = [](const std::string& k, uint64_t n) { return k + "=" + std::to_string(n); };
  auto well_formed = [](const IVec& k, const IVec& v) { return str(v).starts_with(str(k) + "="); };
  std::vector<std::thread> ths;
  // Disjoint writers: each owns one prefix and checks its own model at the end.
  for (int w = 0; w < 4; ++w)
    ths.emplace_back([&, w] {
      std::mt19937_64 rng(w);
      auto& m = own[w];
      for (int i = 0; i < ops; ++i) {
        std::string k = "own" + std::to_string(w) + ":" + std::to_string(rng() % 600);
        if (rng() % 3) {
          std::string v = value_for(k, rng());
          auto r = t.insert(k, v);
          if (!r) ++failures;
          m[k] = v;
        } else {
          auto r = t.remove(k);
          if (!r) ++failures;
          m.erase(k);
        }
      }
    });
  // Overlapping writers on a small shared key range (many splits and merges).
  for (int w = 0; w < 2; ++w)
    ths.emplace_back([&, w] {
      std::mt19937_64 rng(100 + w);
      for (int i = 0; i < ops; ++i) {
        std::string k = "shared:" + std::to_string(rng() % 200);
        auto r = rng() % 2 ? t.insert(k, value_for(k, rng())) : t.remove(k);
        if (!r) ++failures;
        if (i % 64 == 0) {
          auto c = t.fetch_and_update(Tree::as_bytes("shared:counter"), [](const std::optional<IVec>& cur) {
            return std::optional<IVec>(testing::be64_ivec(testing::be64(cur) + 1));
          });
          if (!c) ++failures;
        }
      }
    });
  // Scanner: keys strictly ascending, values belonging to their keys.
  ths.emplace_back([&] {
    while (!stop.load()) {
      for (const char* p : {"own1:", "shared:", ""}) {
        auto it = t.scan_prefix(p);
        std::string prev;
        bool first = true;
        while (auto item = it.next()) {
          if (!*item) {
            ++failures;
            break;
          }
          std::string k = str((*item)->first);
          if (!first && k <= prev) ++failures;
          if (k != "shared:counter" && !k.starts_with("batch:") && !well_formed((*item)->first, (*item)->second))
            ++failures;
          prev = k;
          first = false;
        }
      }
    }
  });
  // Batches: every batch sets all its keys to one generation; a point read
  // never sees a batch half applied relative to the reads after it.
  ths.emplace_back([&] {
    for (uint64_t gen = 1; gen <= static_cast<uint64_t>(60 * kScale); ++gen) {
      Batch b;
      for (int i = 0; i < 30; ++i) b.insert("batch:" + std::to_string(i), std::to_string(gen));
      if (!t.apply_batch(std::move(b))) ++failures;
      auto first = t.get("batch:0");
      auto last = t.get("batch:29");
      if (!first || !last || !*first || !*last) ++failures;
      else if (std::stoull(str(**last)) < std::stoull(str(**first))) ++failures;
    }
  });
  for (size_t i = 0; i < ths.size(); ++i) {
    if (i == 6) stop = true;  // writers and batches first; then stop the scanner
    if (i == 6) {
      ths[7].join();
      ths[6].join();
      break;
    }
    ths[i].join();
  }
  EXPECT_EQ(failures.load(), 0);
  for (int w = 0; w < 4; ++w) {
    auto it = t.scan_prefix("own" + std::to_string(w) + ":");
    for (auto& [k, v] : own[w]) {
      auto item = it.next();
      ASSERT_TRUE(item && *item);
      EXPECT_EQ(str((*item)->first), k);
      EXPECT_EQ(str((*item)->second), v);
    }
    EXPECT_FALSE(it.next());
  }
  EXPECT_EQ(testing::be64(*t.get("shared:counter")), static_cast<uint64_t>(2 * ((ops + 63) / 64)));
}

// A read that starts while a batch is being applied waits for it and then
// sees every write of the batch.
TEST(TreeStress, ReaderDuringBatchSeesAllOfIt) {
  auto dir = fresh_dir("batch_reader");
  Db db = open_or_die(standin_config_for(dir));
  auto t = *db.open_tree("t");
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(t.insert("k" + std::to_string(i), "old"));
  std::mutex mu;
  std::condition_variable cv;
  bool batch_running = false;
  std::atomic<int> links{0};
  pagecache::standin::Faults f;
  f.on_reserve = [&](pagecache::LogKind kind, PageId) -> std::optional<Error> {
    if (kind == pagecache::LogKind::Link && ++links == 5) {
      std::lock_guard lk(mu);
      batch_running = true;
      cv.notify_all();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // keep the batch going a little
    }
    return std::nullopt;
  };
  pagecache::standin::set_faults(f);
  std::vector<std::string> seen;
  std::thread reader([&] {
    {
      std::unique_lock lk(mu);
      cv.wait(lk, [&] { return batch_running; });
    }
    for (int i = 0; i < 200; ++i) seen.push_back(str(**t.get("k" + std::to_string(i))));
  });
  Batch b;
  for (int i = 0; i < 200; ++i) b.insert("k" + std::to_string(i), "new");
  ASSERT_TRUE(t.apply_batch(std::move(b)));
  reader.join();
  pagecache::standin::clear_faults();
  for (auto& s : seen) EXPECT_EQ(s, "new");
}

}  // namespace
}  // namespace kelm
