// The arena's 4096-page limit. Reserves 4 GiB of (untouched) address space,
// so it runs apart from the sanitizer builds (label "slow").
#include <gtest/gtest.h>

#include "fulltext/stacker/memory_arena.h"

namespace fendral::stacker {
namespace {

TEST(MemoryArena, RefusesThe4097thPage) {
  MemoryArena arena;
  for (size_t i = 0; i < MemoryArena::kMaxPages; ++i) {
    ASSERT_TRUE(arena.allocate_space(MemoryArena::kPageSize).has_value());
  }
  EXPECT_EQ(arena.num_pages(), 4096u);
  auto r = arena.allocate_space(MemoryArena::kPageSize);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "assertion failed: page_id < 4096");
}

}  // namespace
}  // namespace fendral::stacker
