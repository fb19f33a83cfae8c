#include "kv/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kelm {
namespace {

TEST(IVec, FormsAndOrder) {
  std::string s22(22, 'x'), s23(23, 'x');
  EXPECT_TRUE(IVec::from_slice(s22).is_inline());
  EXPECT_FALSE(IVec::from_slice(s23).is_inline());
  EXPECT_EQ(IVec::from_slice(s23).view(), s23);
  EXPECT_EQ(IVec(), IVec::from_slice(""));
  EXPECT_EQ(IVec().debug(), "[]");
  EXPECT_LT(IVec::from_slice("ab"), IVec::from_slice("abc"));
  EXPECT_LT(IVec::from_slice("abc"), IVec::from_slice("abd"));
  EXPECT_LT(IVec::from_slice("\x7f"), IVec::from_slice("\x80"));
  EXPECT_EQ(IVec::from_slice(std::string_view("\x01\x02\xff", 3)).debug(), "[1, 2, 255]");
  EXPECT_EQ(IVec::from_slice(std::string_view("\x01\x02", 2)).debug(true), "[\n    1,\n    2,\n]");
}

TEST(IVec, SharedBufferCounts) {
  IVec a = IVec::from_slice(std::string(40, 'q'));
  {
    IVec b = a, c = a;
    EXPECT_EQ(a.ref_count_for_test(), 3u);
    EXPECT_EQ(b.hash(), IVec::from_slice(std::string(40, 'q')).hash());
  }
  EXPECT_EQ(a.ref_count_for_test(), 1u);
  std::vector<uint8_t> v(100, 7);
  IVec d = IVec::from_vec(std::move(v));
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(d.size(), 100u);
}

TEST(Error, DisplayAndDebug) {
  struct Case {
    Error error;
    std::string display;
    std::string debug;
  };
  const Case cases[] = {
      {Error::collection_not_found(IVec::from_slice("edges")), "Collection [101, 100, 103, 101, 115] does not exist",
       "CollectionNotFound([101, 100, 103, 101, 115])"},
      {Error::collection_not_found(IVec()), "Collection [] does not exist", "CollectionNotFound([])"},
      {Error::unsupported("x"), "Unsupported: x", "Unsupported(\"x\")"},
      {Error::reportable_bug("oops"), "Unexpected bug has happened: oops. PLEASE REPORT THIS BUG!",
       "ReportableBug(\"oops\")"},
      {Error::corruption(), "Read corrupted data at file offset None backtrace ()", "Corruption { at: None, bt: () }"},
      {Error::corruption(DiskPtr::blob_at(10, 7)), "Read corrupted data at file offset Some(Blob(10, 7)) backtrace ()",
       "Corruption { at: Some(Blob(10, 7)), bt: () }"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(Error, CloneOfOsErrorKeepsKindAndDebugText) {
  Error e = Error::io(zudizid::common::IoError::from_os(ENOENT));
  EXPECT_EQ(e.display(), "IO error: No such file or directory (os error 2)");
  Error c = e.clone();
  EXPECT_EQ(c.display(), "IO error: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(c.get_if<Error::Io>()->error.kind(), zudizid::common::IoErrorKind::NotFound);
}

}  // namespace
}  // namespace kelm
