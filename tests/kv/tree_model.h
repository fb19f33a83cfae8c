// Random operations on several named trees checked against std::map.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "kv_test_util.h"

namespace kelm::testing {

// Runs `ops` random operations; reopens the engine every `reopen_every` ops
// (0: never); a small `cache_bytes` makes pages move in and out of memory.
inline void run_model(uint64_t seed, size_t ops, bool merges, size_t reopen_every, uint64_t cache_bytes) {
  tree::set_merges_enabled(merges);
  auto dir = fresh_dir("model");
  auto cfg = config_for(dir);
  cfg.cache_capacity(cache_bytes);
  std::optional<Db> db(open_or_die(cfg));
  const std::vector<std::string> names = {"edges", "versioned_edges", "", "embeddings"};
  std::vector<std::map<std::string, std::string>> model(names.size());
  std::mt19937_64 rng(seed);
  auto key = [&]() {
    // Shared prefixes of varying length so nodes get prefix-encoded keys.
    static const char* prefixes[] = {"node:", "node:aa", "edge:", "idx:prop:name:", "z", ""};
    std::string k = prefixes[rng() % 6];
    int n = static_cast<int>(rng() % 4000);
    k += std::to_string(n);
    if (rng() % 8 == 0) k += std::string(rng() % 30, 'x');
    return k;
  };
  auto value = [&]() {
    std::string v(rng() % 40, 'a');
    for (auto& c : v) c = static_cast<char>('a' + rng() % 26);
    if (rng() % 50 == 0) v.assign(500 + rng() % 2000, 'L');
    return v;
  };
  // Mostly keys that exist: the stored key at or after a random one.
  auto existing_or_random = [&](const std::map<std::string, std::string>& m) {
    std::string k = key();
    if (rng() % 2 == 0) return k;
    auto it = m.lower_bound(k);
    return it == m.end() ? k : it->first;
  };
  for (size_t op = 0; op < ops; ++op) {
    if (reopen_every && op > 0 && op % reopen_every == 0) {
      db.reset();
      db.emplace(open_or_die(cfg));
    }
    size_t ti = rng() % names.size();
    auto t = db->open_tree(names[ti]);
    ASSERT_TRUE(t) << t.error().display();
    auto& m = model[ti];
    int kind = static_cast<int>(rng() % 100);
    if (kind < 35) {
      std::string k = key(), v = value();
      auto prev = t->insert(k, v);
      ASSERT_TRUE(prev) << prev.error().display();
      auto it = m.find(k);
      ASSERT_EQ(prev->has_value(), it != m.end()) << "op " << op << " insert " << k;
      if (it != m.end()) {
        ASSERT_EQ(str(**prev), it->second);
      }
      m[k] = v;
    } else if (kind < 55) {
      std::string k = existing_or_random(m);
      auto prev = t->remove(k);
      ASSERT_TRUE(prev);
      auto it = m.find(k);
      ASSERT_EQ(prev->has_value(), it != m.end()) << "op " << op << " remove " << k;
      if (it != m.end()) {
        ASSERT_EQ(str(**prev), it->second);
        m.erase(it);
      }
    } else if (kind < 75) {
      std::string k = existing_or_random(m);
      auto g = t->get(k);
      ASSERT_TRUE(g);
      auto it = m.find(k);
      ASSERT_EQ(g->has_value(), it != m.end()) << "op " << op << " get " << k;
      if (it != m.end()) {
        ASSERT_EQ(str(**g), it->second);
      }
    } else if (kind < 80) {
      std::string k = "counter:" + std::to_string(rng() % 5);
      uint64_t operand = rng() % 1000000;
      auto prev = t->fetch_and_update(Tree::as_bytes(k), [&](const std::optional<IVec>& cur) {
        return std::optional<IVec>(be64_ivec(std::max(cur ? be64(cur) : operand, operand)));
      });
      ASSERT_TRUE(prev);
      auto it = m.find(k);
      ASSERT_EQ(prev->has_value(), it != m.end());
      if (it != m.end()) {
        ASSERT_EQ(str(**prev), it->second);
      }
      uint64_t stored = it == m.end() ? operand : std::max(be64(IVec::from_slice(it->second)), operand);
      m[k] = str(be64_ivec(stored));
    } else if (kind < 88) {
      Batch b;
      std::map<std::string, std::optional<std::string>> writes;
      size_t n = rng() % 40;
      for (size_t i = 0; i < n; ++i) {
        std::string k = key();
        if (rng() % 4 == 0) {
          b.remove(k);
          writes[k] = std::nullopt;
        } else {
          std::string v = value();
          b.insert(k, v);
          writes[k] = v;
        }
      }
      ASSERT_TRUE(t->apply_batch(std::move(b)));
      for (auto& [k, v] : writes) {
        if (v) {
          m[k] = *v;
        } else {
          m.erase(k);
        }
      }
    } else if (kind < 94) {
      std::string a = key(), b = key();
      if (b < a) std::swap(a, b);
      bool incl = rng() % 2;
      auto it = t->range(Bound::included(IVec::from_slice(a)),
                         incl ? Bound::included(IVec::from_slice(b)) : Bound::excluded(IVec::from_slice(b)));
      auto mit = m.lower_bound(a);
      auto mend = incl ? m.upper_bound(b) : m.lower_bound(b);
      size_t limit = rng() % 200;
      for (size_t i = 0; i < limit; ++i) {
        auto item = it.next();
        if (mit == mend) {
          ASSERT_FALSE(item) << "op " << op;
          break;
        }
        ASSERT_TRUE(item && *item) << "op " << op;
        ASSERT_EQ(str((*item)->first), mit->first);
        ASSERT_EQ(str((*item)->second), mit->second);
        ++mit;
      }
    } else if (kind < 99) {
      static const char* prefixes[] = {"node:", "edge:", "idx:", "counter:", "z"};
      std::string p = prefixes[rng() % 5];
      auto it = t->scan_prefix(p);
      auto mit = m.lower_bound(p);
      size_t limit = 1 + rng() % 300;
      for (size_t i = 0; i < limit; ++i) {
        auto item = it.next();
        bool model_has = mit != m.end() && mit->first.compare(0, p.size(), p) == 0;
        if (!model_has) {
          ASSERT_FALSE(item) << "op " << op << " prefix " << p;
          break;
        }
        ASSERT_TRUE(item && *item);
        ASSERT_EQ(str((*item)->first), mit->first);
        ASSERT_EQ(str((*item)->second), mit->second);
        ++mit;
      }
    } else {
      ASSERT_TRUE(t->flush());
    }
  }
  // Final full comparison of every tree.
  for (size_t ti = 0; ti < names.size(); ++ti) {
    auto t = *db->open_tree(names[ti]);
    auto it = t.iter();
    for (auto& [k, v] : model[ti]) {
      auto item = it.next();
      ASSERT_TRUE(item && *item);
      ASSERT_EQ(str((*item)->first), k);
      ASSERT_EQ(str((*item)->second), v);
    }
    ASSERT_FALSE(it.next());
  }
  tree::set_merges_enabled(true);
}

}  // namespace kelm::testing
