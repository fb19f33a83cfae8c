#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>

#include "fixtures.h"
#include "index/btree_index.h"
#include "index/hash_index.h"

namespace zudizid::index {
namespace {

using namespace zudizid::testing;
using Ids = std::vector<Uuid>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Ids query_ok(const Index& index, IndexQuery q) {
  auto r = index.query(q);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return r ? *r : Ids{};
}

Ids eq(const Index& index, PropertyValue v) { return query_ok(index, {IndexQuery::Equals{std::move(v)}}); }

struct Kind {
  const char* name;
  std::function<std::unique_ptr<Index>()> make;
};
const Kind kKinds[] = {{"hash", [] { return std::make_unique<HashIndex>(); }},
                       {"btree", [] { return std::make_unique<BTreeIndex>(); }}};

TEST(ValueIndex, IdListsKeepOrderAndRepeatsAndVanishWhenEmpty) {
  for (const auto& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    auto index = kind.make();
    ASSERT_TRUE(index->insert(Str("v"), id(1)));
    ASSERT_TRUE(index->insert(Str("v"), id(2)));
    ASSERT_TRUE(index->insert(Str("v"), id(1)));
    EXPECT_EQ(index->len(), 1u);
    EXPECT_EQ(eq(*index, Str("v")), (Ids{id(1), id(2), id(1)}));
    ASSERT_TRUE(index->remove(Str("v"), id(1)));
    EXPECT_EQ(eq(*index, Str("v")), (Ids{id(2)}));
    ASSERT_TRUE(index->remove(Str("v"), id(9)));     // absent id
    ASSERT_TRUE(index->remove(Str("nope"), id(2)));  // absent value
    ASSERT_TRUE(index->remove(Str("v"), id(2)));
    EXPECT_EQ(index->len(), 0u);
    EXPECT_TRUE(eq(*index, Str("v")).empty());

    EXPECT_TRUE(index->add_subclass(id(1), id(2)));
    EXPECT_EQ(index->as_taxonomy(), nullptr);
    ASSERT_TRUE(index->insert(Int(3), id(3)));
    ASSERT_TRUE(index->clear());
    EXPECT_EQ(index->len(), 0u);
    EXPECT_TRUE(eq(*index, Int(3)).empty());
  }
}

// Whether two values land on one key, per index kind.
TEST(ValueIndex, KeyIdentityAcrossKinds) {
  struct Case {
    const char* what;
    PropertyValue a, b;
    bool hash_same, btree_same;
  };
  const Case table[] = {
      {"Int 1 / Float 1.0", Int(1), Float(1.0), false, true},
      {"-0.0 / 0.0", Float(-0.0), Float(0.0), true, true},
      {"nested -0.0 / 0.0", List({Float(-0.0)}), List({Float(0.0)}), true, true},
      {"List[Int 1] / List[Float 1.0]", List({Int(1)}), List({Float(1.0)}), false, true},
      {"Int 2^53+1 / Float 2^53", Int((1LL << 53) + 1), Float(9007199254740992.0), false, false},
      {"Int max / Float 2^63", Int(INT64_MAX), Float(9223372036854775808.0), false, false},
      {"String a / Bytes a", Str("a"), Bin({'a'}), false, false},
      {"Object order matters", Obj({{"x", Int(1)}, {"y", Int(2)}}),
       Obj({{"y", Int(2)}, {"x", Int(1)}}), false, false},
      {"Null / Bool false", Null(), Bool(false), false, false},
  };
  for (const auto& c : table) {
    for (const auto& kind : kKinds) {
      SCOPED_TRACE(std::string(c.what) + " " + kind.name);
      const bool same = std::string(kind.name) == "hash" ? c.hash_same : c.btree_same;
      auto index = kind.make();
      ASSERT_TRUE(index->insert(c.a, id(1)));
      ASSERT_TRUE(index->insert(c.b, id(2)));
      EXPECT_EQ(index->len(), same ? 1u : 2u);
      EXPECT_EQ(eq(*index, c.b), same ? (Ids{id(1), id(2)}) : (Ids{id(2)}));
      ASSERT_TRUE(index->remove(c.b, id(1)));
      ASSERT_TRUE(index->remove(c.b, id(2)));
      EXPECT_EQ(index->len(), same ? 0u : 1u);
    }
  }
}

TEST(ValueIndex, NaNKeysAreNeverFoundByHashButAlwaysRemovable) {
  HashIndex hash;
  ASSERT_TRUE(hash.insert(Float(kNaN), id(1)));
  ASSERT_TRUE(hash.insert(Float(-kNaN), id(2)));
  ASSERT_TRUE(hash.insert(List({Float(kNaN)}), id(3)));
  EXPECT_TRUE(eq(hash, Float(kNaN)).empty());
  EXPECT_TRUE(eq(hash, List({Float(kNaN)})).empty());
  EXPECT_EQ(hash.len(), 2u);
  ASSERT_TRUE(hash.remove(Float(kNaN), id(1)));
  ASSERT_TRUE(hash.remove(Float(kNaN), id(2)));
  ASSERT_TRUE(hash.remove(List({Float(kNaN)}), id(3)));
  EXPECT_EQ(hash.len(), 0u);

  // The B-tree order makes NaN equal to NaN: one key, found and removable,
  // above every number (Int included) and below every string.
  BTreeIndex btree;
  ASSERT_TRUE(btree.insert(Float(kNaN), id(1)));
  ASSERT_TRUE(btree.insert(Float(-kNaN), id(2)));
  ASSERT_TRUE(btree.insert(Int(INT64_MAX), id(3)));
  ASSERT_TRUE(btree.insert(Float(kInf), id(4)));
  ASSERT_TRUE(btree.insert(Str(""), id(5)));
  EXPECT_EQ(btree.len(), 4u);
  EXPECT_EQ(eq(btree, Float(kNaN)), (Ids{id(1), id(2)}));
  EXPECT_EQ(query_ok(btree, {IndexQuery::GreaterThan{Int(INT64_MAX)}}), (Ids{id(4), id(1), id(2), id(5)}));
  EXPECT_EQ(query_ok(btree, {IndexQuery::LessThan{Float(kNaN)}}), (Ids{id(3), id(4)}));
}

TEST(ValueIndex, BTreeComparisonsFollowTheOrderAcrossKinds) {
  // Keys in ascending order; key i carries id i.
  const std::vector<PropertyValue> keys = {
      Null(),   Bool(false), Bool(true),        Float(-kInf),  Int(-5),          Float(1.5),
      Int(5),   Float(kNaN), Str(""),           Str("a"),      Str("ab"),        Str("b"),
      Bin({}),  Bin({0xff}), List({}),          List({Int(1)}), List({Int(1), Null()}),
      Obj({}),  Obj({{"k", Int(1)}}),
  };
  BTreeIndex index;
  for (std::size_t i = keys.size(); i-- > 0;) ASSERT_TRUE(index.insert(keys[i], id(int(i))));
  auto ids = [](int from, int to) {  // ids from..to inclusive
    Ids out;
    for (int i = from; i <= to; ++i) out.push_back(id(i));
    return out;
  };
  const int last = int(keys.size()) - 1;
  struct Case {
    const char* what;
    IndexQuery q;
    Ids expected;
  };
  const Case table[] = {
      {"> Int 5 reaches strings and beyond", {IndexQuery::GreaterThan{Int(5)}}, ids(7, last)},
      {">= Float 5.0", {IndexQuery::GreaterThanOrEqual{Float(5.0)}}, ids(6, last)},
      {"< String a", {IndexQuery::LessThan{Str("a")}}, ids(0, 8)},
      {"<= Bool true", {IndexQuery::LessThanOrEqual{Bool(true)}}, ids(0, 2)},
      {"range Int -5 .. Float 5.0", {IndexQuery::Range{Int(-5), Float(5.0)}}, ids(4, 6)},
      {"range between keys", {IndexQuery::Range{Float(1.6), Float(4.9)}}, {}},
      {"range start > end", {IndexQuery::Range{Int(5), Int(3)}}, {}},
      {"range v..v is equality", {IndexQuery::Range{Str("ab"), Str("ab")}}, ids(10, 10)},
      {"range over lists", {IndexQuery::Range{List({}), List({Int(1), Null()})}}, ids(14, 16)},
      {"> last key", {IndexQuery::GreaterThan{Obj({{"k", Int(1)}})}}, {}},
  };
  for (const auto& c : table) EXPECT_EQ(query_ok(index, c.q), c.expected) << c.what;
}

TEST(ValueIndex, RefusedQueries) {
  HashIndex hash;
  BTreeIndex btree;
  const IndexQuery non_equality[] = {{IndexQuery::GreaterThan{Int(1)}},
                                     {IndexQuery::GreaterThanOrEqual{Int(1)}},
                                     {IndexQuery::LessThan{Int(1)}},
                                     {IndexQuery::LessThanOrEqual{Int(1)}},
                                     {IndexQuery::Range{Int(1), Int(2)}},
                                     {IndexQuery::FullText{"x"}}};
  for (const auto& q : non_equality) {
    auto r = hash.query(q);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "Index error: Hash index only supports equality queries");
  }
  auto r = btree.query({IndexQuery::FullText{"x"}});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "Index error: BTree index does not support full-text search");
}

// --- against a model -------------------------------------------------------

// An independent ordering for the model: numbers compared as long double
// (exact for every int64 and double), NaN above all numbers.
int kind(const PropertyValue& v) { return int(v.kind()); }
int model_rank(const PropertyValue& v) {
  constexpr int ranks[] = {0, 1, 2, 2, 3, 4, 6, 5};  // Null Bool Int Float String Bytes Object List
  return ranks[kind(v)];
}
int model_cmp(const PropertyValue& a, const PropertyValue& b) {
  if (model_rank(a) != model_rank(b)) return model_rank(a) < model_rank(b) ? -1 : 1;
  switch (model_rank(a)) {
    case 0: return 0;
    case 1: return int(a.as_bool()) - int(b.as_bool());
    case 2: {
      auto num = [](const PropertyValue& v) -> long double {
        return kind(v) == 2 ? (long double)v.as_int() : v.as_float();
      };
      long double x = num(a), y = num(b);
      bool nx = std::isnan(x), ny = std::isnan(y);
      if (nx || ny) return int(nx) - int(ny);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case 3: {
      int c = a.as_string().compare(b.as_string());
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case 5: {
      const auto& x = a.as_list();
      const auto& y = b.as_list();
      for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
        if (int c = model_cmp(x[i], y[i])) return c;
      }
      return x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
    }
  }
  ADD_FAILURE() << "kind not generated";
  return 0;
}

// Canonical text for the hash model: -0.0 as 0.0, every NaN alike.
std::string canon(const PropertyValue& v) {
  switch (kind(v)) {
    case 0: return "N";
    case 1: return v.as_bool() ? "T" : "F";
    case 2: return "I" + std::to_string(v.as_int());
    case 3: {
      double d = v.as_float();
      if (std::isnan(d)) return "Fnan";
      char buf[64];
      snprintf(buf, sizeof buf, "F%a", d == 0 ? 0.0 : d);
      return buf;
    }
    case 4: return "S" + v.as_string() + "\x01";
    case 7: {
      std::string s = "L[";
      for (const auto& e : v.as_list()) s += canon(e) + ",";
      return s + "]";
    }
  }
  return "?";
}
bool has_nan(const PropertyValue& v) {
  if (kind(v) == 3) return std::isnan(v.as_float());
  if (kind(v) == 7) {
    for (const auto& e : v.as_list()) {
      if (has_nan(e)) return true;
    }
  }
  return false;
}

PropertyValue random_value(std::mt19937_64& rng, int depth = 0) {
  switch (rng() % (depth ? 6 : 8)) {
    case 0: return Null();
    case 1: return Bool(rng() % 2);
    case 2: {
      static const std::int64_t big[] = {(1LL << 53) - 1, 1LL << 53, (1LL << 53) + 1, INT64_MAX, INT64_MIN};
      return rng() % 8 ? Int(std::int64_t(rng() % 41) - 20) : Int(big[rng() % 5]);
    }
    case 3: {
      static const double special[] = {kNaN, -0.0, 0.0, kInf, -kInf, 9007199254740992.0,
                                       9223372036854775808.0};
      return rng() % 6 ? Float((double(rng() % 81) - 40) / 2) : Float(special[rng() % 7]);
    }
    case 4:
    case 5: {
      std::string s;
      for (int n = rng() % 3; n > 0; --n) s.push_back("ab\xc3"[rng() % 3]);
      return Str(s);
    }
    default: {
      std::vector<PropertyValue> l;
      for (int n = rng() % 3; n > 0; --n) l.push_back(random_value(rng, depth + 1));
      return List(std::move(l));
    }
  }
}

template <class Model>
void run_against_model(Index& index, Model& model, bool ordered, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::pair<PropertyValue, Uuid>> inserted;
  for (int op = 0; op < 100000; ++op) {
    const int kind = rng() % 10;
    if (kind < 4) {
      PropertyValue v = random_value(rng);
      Uuid u = id(int(rng() % 50));
      ASSERT_TRUE(index.insert(v, u));
      model.insert(v, u);
      inserted.emplace_back(std::move(v), u);
    } else if (kind < 7) {
      PropertyValue v;
      Uuid u;
      if (!inserted.empty() && rng() % 4) {
        auto& pick = inserted[rng() % inserted.size()];
        v = pick.first, u = pick.second;
      } else {
        v = random_value(rng), u = id(int(rng() % 50));
      }
      ASSERT_TRUE(index.remove(v, u));
      model.remove(v, u);
    } else {
      PropertyValue v = random_value(rng), w = random_value(rng);
      IndexQuery q;
      switch (ordered ? rng() % 6 : 0) {
        case 0: q = {IndexQuery::Equals{v}}; break;
        case 1: q = {IndexQuery::GreaterThan{v}}; break;
        case 2: q = {IndexQuery::GreaterThanOrEqual{v}}; break;
        case 3: q = {IndexQuery::LessThan{v}}; break;
        case 4: q = {IndexQuery::LessThanOrEqual{v}}; break;
        default: q = {IndexQuery::Range{v, w}}; break;
      }
      auto got = index.query(q);
      ASSERT_TRUE(got.has_value());
      ASSERT_EQ(*got, model.query(q)) << "op " << op;
    }
    ASSERT_EQ(index.len(), model.len()) << "op " << op;
  }
}

// Sorted list of (key, ids) under model_cmp; queries filter every key.
struct SortedListModel {
  std::vector<std::pair<PropertyValue, Ids>> entries;

  void insert(const PropertyValue& v, Uuid u) {
    auto it = entries.begin();
    while (it != entries.end() && model_cmp(it->first, v) < 0) ++it;
    if (it != entries.end() && model_cmp(it->first, v) == 0) {
      it->second.push_back(u);
    } else {
      entries.insert(it, {v, {u}});
    }
  }
  void remove(const PropertyValue& v, Uuid u) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (model_cmp(it->first, v) != 0) continue;
      std::erase(it->second, u);
      if (it->second.empty()) entries.erase(it);
      return;
    }
  }
  Ids query(const IndexQuery& q) const {
    Ids out;
    for (const auto& [k, ids] : entries) {
      bool pass = std::visit(
          [&](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, IndexQuery::Equals>) return model_cmp(k, x.value) == 0;
            if constexpr (std::is_same_v<T, IndexQuery::GreaterThan>) return model_cmp(k, x.value) > 0;
            if constexpr (std::is_same_v<T, IndexQuery::GreaterThanOrEqual>) return model_cmp(k, x.value) >= 0;
            if constexpr (std::is_same_v<T, IndexQuery::LessThan>) return model_cmp(k, x.value) < 0;
            if constexpr (std::is_same_v<T, IndexQuery::LessThanOrEqual>) return model_cmp(k, x.value) <= 0;
            if constexpr (std::is_same_v<T, IndexQuery::Range>) {
              return model_cmp(x.start, k) <= 0 && model_cmp(k, x.end) <= 0;
            }
            return false;
          },
          q.q);
      if (pass) out.insert(out.end(), ids.begin(), ids.end());
    }
    return out;
  }
  std::uint64_t len() const { return entries.size(); }
};

// Hash model: keys by canonical text; NaN-bearing keys are never found.
struct CanonModel {
  std::map<std::string, std::pair<PropertyValue, Ids>> entries;
  void insert(const PropertyValue& v, Uuid u) {
    auto [it, fresh] = entries.try_emplace(canon(v), v, Ids{});
    it->second.second.push_back(u);
  }
  void remove(const PropertyValue& v, Uuid u) {
    auto it = entries.find(canon(v));
    if (it == entries.end()) return;
    std::erase(it->second.second, u);
    if (it->second.second.empty()) entries.erase(it);
  }
  Ids query(const IndexQuery& q) const {
    const auto& v = std::get<IndexQuery::Equals>(q.q).value;
    auto it = entries.find(canon(v));
    if (it == entries.end() || has_nan(v)) return {};
    return it->second.second;
  }
  std::uint64_t len() const { return entries.size(); }
};

TEST(ValueIndexModel, BTreeMatchesSortedListModel) {
  BTreeIndex index;
  SortedListModel model;
  run_against_model(index, model, true, 7);
}

TEST(ValueIndexModel, HashMatchesCanonicalKeyModel) {
  HashIndex index;
  CanonModel model;
  run_against_model(index, model, false, 11);
}

}  // namespace
}  // namespace zudizid::index
