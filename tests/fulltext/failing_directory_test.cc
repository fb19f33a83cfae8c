// Commits over a directory that fails one write or one sync: the commit
// reports the error, nothing acknowledged is lost, and the next commit holds
// every document added after the failed one.
#include <gtest/gtest.h>

#include "tests/support/failing_directory.h"
#include "fulltext/directory/ram_directory.h"
#include "reader_fixture.h"

namespace fendral::testing {
namespace {

struct Round {
  bool fired = false;
  bool commit_failed = false;
};

Round run_round(FaultPlan::Kind kind, uint64_t nth) {
  auto plan = std::make_shared<FaultPlan>();
  auto index = create_index(std::make_unique<FailingDirectory>(std::make_unique<RamDirectory>(), plan));
  auto w = indexer::IndexWriter::create_with_workers(index, 20'000'000, 1);
  EXPECT_TRUE(w);
  EXPECT_TRUE(add_ids(**w, 0, 20));
  EXPECT_TRUE((*w)->commit());

  plan->arm(kind, nth);
  bool added = add_ids(**w, 100, 120);
  auto failed_commit = (*w)->commit();
  plan->disarm();
  Round round{plan->fired(), !failed_commit};
  if (round.commit_failed) {
    EXPECT_NE(failed_commit.error().display().find("injected"), std::string::npos)
        << failed_commit.error().display();
  } else {
    EXPECT_TRUE(added);
  }

  EXPECT_TRUE(add_ids(**w, 200, 220));
  auto next = (*w)->commit();
  EXPECT_TRUE(next) << next.error().display();
  w->reset();

  auto reopened = index::FendralIndex::open(index.directory());
  EXPECT_TRUE(reopened);
  auto reader = core::IndexReader::open(*reopened);
  EXPECT_TRUE(reader) << reader.error().display();
  auto s = (*reader)->searcher();
  EXPECT_EQ(count_ids(*s, 0, 20), 20u) << "acknowledged before the fault";
  EXPECT_EQ(count_ids(*s, 200, 220), 20u) << "added after the failed commit";
  uint64_t middle = count_ids(*s, 100, 120);
  if (round.commit_failed) {
    EXPECT_TRUE(middle == 0 || middle == 20) << middle;  // one segment: whole or absent
  } else {
    EXPECT_EQ(middle, 20u);
  }
  EXPECT_EQ(s->num_docs(), 40 + middle);
  return round;
}

TEST(FailingDirectory, EveryWriteAndSyncOfACommitFailsCleanly) {
  for (auto kind : {FaultPlan::Kind::Write, FaultPlan::Kind::Sync}) {
    const char* name = kind == FaultPlan::Kind::Write ? "write" : "sync";
    size_t failed = 0;
    uint64_t nth = 1;
    for (;; ++nth) {
      SCOPED_TRACE(::testing::Message() << name << " #" << nth);
      Round r = run_round(kind, nth);
      if (!r.fired) break;  // past the last operation of the commit
      failed += r.commit_failed;
      ASSERT_LT(nth, 500u) << "the fault never stops firing";
    }
    EXPECT_GT(nth, 3u) << name;
    EXPECT_GT(failed, 0u) << name;
  }
}

}  // namespace
}  // namespace fendral::testing
