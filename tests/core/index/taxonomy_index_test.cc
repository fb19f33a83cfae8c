#include "index/taxonomy_index.h"

#include <gtest/gtest.h>

#include "fixtures.h"

namespace zudizid::index {
namespace {

using namespace zudizid::testing;
using Ids = std::vector<Uuid>;

Ids lookup(const Index& index, const std::string& name) {
  auto r = index.query({IndexQuery::Equals{Str(name)}});
  EXPECT_TRUE(r.has_value());
  return r ? *r : Ids{};
}

TEST(TaxonomyIndexAdapter, NamesComeFromStringInsertsOnly) {
  TaxonomyIndexAdapter t;
  for (auto v : {Int(1), Null(), Float(1.0), List({Str("A")})}) ASSERT_TRUE(t.insert(v, id(1)));
  EXPECT_EQ(t.len(), 0u);

  ASSERT_TRUE(t.insert(Str("A"), id(1)));
  ASSERT_TRUE(t.insert(Str("B"), id(1)));  // renamed
  EXPECT_EQ(t.len(), 1u);
  EXPECT_TRUE(lookup(t, "A").empty());
  EXPECT_EQ(lookup(t, "B"), Ids{id(1)});

  ASSERT_TRUE(t.insert(Str("B"), id(2)));  // same name, another class: last one wins
  EXPECT_EQ(t.len(), 2u);
  EXPECT_EQ(lookup(t, "B"), Ids{id(2)});
  ASSERT_TRUE(t.remove(Null(), id(1)));  // the first holder goes; the name stays with id 2
  EXPECT_EQ(lookup(t, "B"), Ids{id(2)});
  EXPECT_TRUE(lookup(t, "nobody").empty());

  ASSERT_TRUE(t.clear());
  EXPECT_EQ(t.len(), 0u);
  EXPECT_TRUE(lookup(t, "B").empty());
}

TEST(TaxonomyIndexAdapter, LinksGoChildToParentAndRemovalCutsThem) {
  TaxonomyIndexAdapter t;
  ASSERT_TRUE(t.add_subclass(id(1), id(2)));  // 1 below 2
  ASSERT_TRUE(t.add_subclass(id(2), id(3)));  // 2 below 3
  auto copy = *t.as_taxonomy();
  EXPECT_EQ(copy.all_superclasses(id(1)).size(), 2u);
  EXPECT_EQ(copy.all_subclasses(id(3)).size(), 2u);

  auto self = t.add_subclass(id(4), id(4));
  ASSERT_FALSE(self.has_value());
  EXPECT_EQ(self.error().display(), "add_subclass: self-loops are not allowed in a class hierarchy");

  ASSERT_TRUE(t.remove(Str("ignored"), id(2)));
  copy = *t.as_taxonomy();
  EXPECT_TRUE(copy.direct_superclasses(id(1)).empty());
  EXPECT_TRUE(copy.all_subclasses(id(3)).empty());
  ASSERT_TRUE(t.remove(Null(), id(99)));  // unknown: no change, no error
}

TEST(TaxonomyIndexAdapter, SnapshotsNeverChangeUnderTheirReaders) {
  TaxonomyIndexAdapter t;
  ASSERT_TRUE(t.insert(Str("A"), id(1)));
  auto before = t.as_taxonomy();
  ASSERT_TRUE(t.insert(Str("B"), id(2)));
  ASSERT_TRUE(t.add_subclass(id(2), id(1)));
  EXPECT_EQ(before->class_id_by_name("B"), std::nullopt);
  EXPECT_TRUE(before->all_subclasses(id(1)).empty());
  auto after = t.as_taxonomy();
  EXPECT_EQ(after->class_id_by_name("B"), id(2));
  EXPECT_TRUE(after->named_class_is_subclass_of("B", id(1)));
  ASSERT_TRUE(t.clear());
  EXPECT_EQ(after->len(), 2u);
  EXPECT_EQ(t.len(), 0u);
}

TEST(TaxonomyIndexAdapter, OnlyNameEqualityQueries) {
  TaxonomyIndexAdapter t;
  const IndexQuery refused[] = {{IndexQuery::Equals{Int(1)}},
                                {IndexQuery::GreaterThan{Str("A")}},
                                {IndexQuery::Range{Str("A"), Str("B")}},
                                {IndexQuery::FullText{"A"}}};
  for (const auto& q : refused) {
    auto r = t.query(q);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "TaxonomyIndex only supports IndexQuery::Equals(String(label))");
  }
}

}  // namespace
}  // namespace zudizid::index
