#include "common/runtime.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/oneshot.h"

namespace zudizid::common {
namespace {

TEST(OneShot, DeliversOnceAndWakesOnDrop) {
  auto [tx, rx] = OneShot<int>::make();
  tx.send(7);
  tx.send(8);  // ignored: the channel is spent
  EXPECT_EQ(rx.wait(), 7);

  auto [tx2, rx2] = OneShot<std::string>::make();
  { auto dropped = std::move(tx2); }
  EXPECT_EQ(rx2.wait(), std::nullopt);

  auto [tx3, rx3] = OneShot<int>::make();
  bool timed_out = false;
  EXPECT_EQ(rx3.wait_for(std::chrono::milliseconds(10), &timed_out), std::nullopt);
  EXPECT_TRUE(timed_out);

  // A receiver already blocked is woken by a sender dropped on another thread.
  auto [tx4, rx4] = OneShot<int>::make();
  std::thread t([s = std::move(tx4)]() mutable { auto dropped = std::move(s); });
  EXPECT_EQ(rx4.wait(), std::nullopt);
  t.join();
}

TEST(Runtime, LazyNamedThreadsRunSpawnedTasks) {
  // block_on runs the body on the calling thread.
  EXPECT_EQ(block_on([] { return 41 + 1; }), 42);
  ASSERT_TRUE(Runtime::started());

  constexpr int kTasks = 64;
  std::vector<OneShot<std::string>::Receiver> replies;
  for (int i = 0; i < kTasks; ++i) {
    auto [tx, rx] = OneShot<std::string>::make();
    replies.push_back(std::move(rx));
    auto run = [tx = std::make_shared<OneShot<std::string>::Sender>(std::move(tx))] {
      char name[32] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      tx->send(name);
    };
    if (i % 2) Runtime::get().spawn(run);
    else Runtime::get().spawn_blocking(run);
  }
  for (auto& rx : replies) EXPECT_EQ(rx.wait(), "zudizid-rt");
}

}  // namespace
}  // namespace zudizid::common
