// Display texts of the engine's errors: they reach the database's users.
#include <gtest/gtest.h>

#include "fulltext/error/error.h"

namespace fendral {
namespace {

TEST(FendralError, DisplayTexts) {
  AggregationError mem{AggregationError::Kind::MemoryExceeded, {}, 1000, 999};
  AggregationError buckets{AggregationError::Kind::BucketLimitExceeded, {}, 10, 11};
  DeserializeError mismatch = DeserializeError::type_mismatch(StoredValueType::String, StoredValueType::I64);
  DeserializeError version{DeserializeError::Kind::UnsupportedVersion, {}, {}, {}, {}, 3, 2};
  Version lib{0, 26, 1, 7}, old{0, 14, 0, 3};
  struct Case {
    FendralError error;
    std::string display;
  } cases[] = {
      {FendralError::lock_failure(LockError::busy(), std::nullopt), "Failed to acquire Lockfile: LockBusy. None"},
      {FendralError::lock_failure(LockError::busy(), "msg"), "Failed to acquire Lockfile: LockBusy. Some(\"msg\")"},
      {FendralError(OpenReadError::file_does_not_exist("meta.json")),
       "Failed to open file for read: 'FileDoesNotExist(\"meta.json\")'"},
      {FendralError(OpenWriteError::file_already_exists("a")), "Failed to open file for write: 'FileAlreadyExists(\"a\")'"},
      {FendralError(OpenDirectoryError::does_not_exist("/x")),
       "Failed to open the directory: 'DoesNotExist(\"/x\")'"},
      {FendralError::system_error("One of the callback panicked."), "System error.'One of the callback panicked.'"},
      {FendralError::index_builder_missing_argument("schema"),
       "Missing required index builder argument when open/create index: 'schema'"},
      {FendralError(mem), "Aborting aggregation because memory limit was exceeded. Limit: 1.00 KB, Current: 999 B"},
      {FendralError(buckets), "Aborting aggregation because bucket limit was exceeded. Limit: 10, Current: 11"},
      {FendralError::data_corruption(std::nullopt, "bad block"), "Data corrupted: 'Data corruption: bad block.'"},
      {FendralError::data_corruption("meta.json", "x"), "Data corrupted: 'Data corruption (in file `\"meta.json\"`): x.'"},
      {FendralError::index_already_exists(), "Index already exists"},
      {FendralError(IoError(IoErrorKind::Other, "disk")), "An IO error occurred: 'disk'"},
      {FendralError::poisoned(), "A thread holding the locked panicked and poisoned the lock"},
      {FendralError::field_not_found("f"), "The field does not exist: 'f'"},
      {FendralError::invalid_argument("a"), "An invalid argument was passed: 'a'"},
      {FendralError::error_in_thread("t"), "An error occurred in a thread: 't'"},
      {FendralError::schema_error("s"), "Schema error: 's'"},
      {FendralError::internal_error("i"), "Internal error: 'i'"},
      {FendralError(mismatch), "Deserialize error: Type Mismatch: Expected String but found I64"},
      {FendralError(version), "Deserialize error: Version 3, Max version supported: 2"},
      {FendralError(IndexIncompatibility::format_version_mismatch(lib, old)),
       "Library version: 7, index version: 3. Change fendral to a version compatible with index format 3 (e.g. 0.14.x) "
       "and rebuild your project."},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(format_byte_count(1500), "1.50 KB");
  EXPECT_EQ(format_byte_count(2000000), "2.00 MB");
  EXPECT_EQ(format_byte_count(999), "999 B");
  EXPECT_EQ(OpenDirectoryError::not_a_directory("/f").display(), "Path exists but is not a directory: '/f'.");
}

}  // namespace
}  // namespace fendral
