#include "storage/db_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace zudizid {
namespace {

TEST(DbError, DisplayTexts) {
  using K = DbError::Kind;
  struct Case {
    DbError error;
    const char* text;
  };
  const Case cases[] = {
      {DbError::node_not_found(""), "Node not found: "},
      {DbError::edge_not_found("e1"), "Edge not found: e1"},
      {DbError::serialization("MessagePack deserialize error: x"), "Serialization error: MessagePack deserialize error: x"},
      {DbError(K::InvalidKeyFormat, "k"), "Invalid key format: k"},
      {DbError::transaction_not_active(), "Transaction is not active"},
      {DbError::transaction_conflict("t"), "Transaction conflict: t"},
      {DbError::deadlock("d"), "Deadlock detected: d"},
      {DbError::concurrency("c"), "Concurrency error: c"},
      {DbError::query_parse("q"), "Query parse error: q"},
      {DbError::query_execution("q"), "Query execution error: q"},
      {DbError::query_planning("q"), "Query planning error: q"},
      {DbError::sketch_not_found("s"), "Sketch not found: s"},
      {DbError::invalid_sketch("s"), "Invalid sketch: s"},
      {DbError::invalid_commit("c"), "Invalid commit: c"},
      {DbError::semantic_validation("v"), "Semantic validation error: v"},
      {DbError::index("i"), "Index error: i"},
      {DbError::ambiguous_upsert_key("a"), "Ambiguous upsert key: a"},
      {DbError::message("just this"), "just this"},
      {DbError(kelm::Error::unsupported("x")), "Storage error: Unsupported: x"},
      {DbError(kelm::Error::corruption()), "Storage error: Read corrupted data at file offset None backtrace ()"},
      {DbError(common::IoError(common::IoErrorKind::Other, "short read")), "IO error: short read"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.display(), c.text);
}

TEST(DbError, CarriesEngineAndSystemErrorsUnchanged) {
  DbError storage(kelm::Error::io(common::IoError::from_os(ENOENT)));
  EXPECT_EQ(storage.kind(), DbError::Kind::Storage);
  ASSERT_NE(storage.storage(), nullptr);
  EXPECT_EQ(storage.display(), "Storage error: IO error: No such file or directory (os error 2)");
  DbError io(common::IoError::from_os(ENOENT));
  EXPECT_EQ(io.display(), "IO error: No such file or directory (os error 2)");
  EXPECT_EQ(io.io()->os_code(), ENOENT);
  EXPECT_EQ(DbError::node_not_found("n\"1").debug(), "NodeNotFound(\"n\\\"1\")");
  EXPECT_EQ(DbError::transaction_not_active().debug(), "TransactionNotActive");
}

}  // namespace
}  // namespace zudizid
