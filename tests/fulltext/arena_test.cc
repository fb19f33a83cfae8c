// Indexing arena: page addressing, the hash map's growth and key handling,
// and the exponential linked list.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

#include "fulltext/stacker/expull.h"
#include "fulltext/stacker/shared_arena_hashmap.h"

namespace fendral::stacker {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(MemoryArena, AllocationsStayInsideOnePage) {
  MemoryArena arena;
  Addr a = arena.allocate_space(MemoryArena::kPageSize - 10).value();
  EXPECT_EQ(a.raw(), 0u);
  Addr b = arena.allocate_space(10).value();  // ends exactly at the page end
  EXPECT_EQ(b.page_id(), 0u);
  EXPECT_EQ(b.page_local(), MemoryArena::kPageSize - 10);
  Addr c = arena.allocate_space(1).value();
  EXPECT_EQ(c.page_id(), 1u);
  EXPECT_EQ(c.page_local(), 0u);
  EXPECT_EQ(arena.mem_usage(), 2 * MemoryArena::kPageSize);
  EXPECT_EQ(Addr(5).debug(), "Addr(5)");
}

TEST(ArenaHashMap, GrowsAndKeepsEveryEntry) {
  ArenaHashMap one(0);
  EXPECT_EQ(one.capacity(), 1u);
  auto inc = [](std::optional<uint32_t> v) { return v.value_or(0) + 1; };
  Bytes k{'k'};
  ASSERT_EQ(one.mutate_or_create<uint32_t>(k, inc).value(), 1u);
  EXPECT_EQ(one.capacity(), 1u);
  ASSERT_EQ(one.mutate_or_create<uint32_t>(k, inc).value(), 2u);  // same key, but the table grows first
  EXPECT_EQ(one.capacity(), 8u);
  EXPECT_EQ(ArenaHashMap(5).capacity(), 4u);

  ArenaHashMap four(4);
  four.mutate_or_create<uint32_t>(Bytes{'a'}, inc).value();
  four.mutate_or_create<uint32_t>(Bytes{'b'}, inc).value();
  EXPECT_EQ(four.capacity(), 4u);
  four.mutate_or_create<uint32_t>(Bytes{'c'}, inc).value();
  EXPECT_EQ(four.capacity(), 8u);

  // Many keys (the empty one included) against a std::map.
  ArenaHashMap map(16);
  std::map<Bytes, uint32_t> oracle;
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) {
    Bytes key(rng() % 6);
    for (auto& c : key) c = static_cast<uint8_t>('a' + rng() % 4);
    ++oracle[key];
    map.mutate_or_create<uint32_t>(key, inc).value();
  }
  EXPECT_EQ(map.len(), oracle.size());
  std::map<Bytes, uint32_t> got;
  for (auto [key, addr] : map.iter()) got[Bytes(key.begin(), key.end())] = map.arena().read<uint32_t>(addr);
  EXPECT_EQ(got, oracle);
  EXPECT_EQ(map.mem_usage(), map.capacity() * 8 + MemoryArena::kPageSize);
}

// A map asked for more slots than it first builds: capacity() and the memory
// figure follow the nominal size (doubling once half of it is used), every
// entry survives the slot array growing underneath.
TEST(ArenaHashMap, LargeNominalCapacity) {
  const size_t nominal = SharedArenaHashMap::kInitialSlots * 4;
  ArenaHashMap map(nominal);
  auto inc = [](std::optional<uint32_t> v) { return v.value_or(0) + 1; };
  auto key_of = [](uint32_t i) {
    Bytes k(4);
    std::memcpy(k.data(), &i, 4);
    return k;
  };
  for (uint32_t i = 0; i < nominal / 2; ++i) {
    ASSERT_EQ(map.mutate_or_create<uint32_t>(key_of(i), inc).value(), 1u);
    ASSERT_EQ(map.capacity(), nominal) << i;
  }
  EXPECT_EQ(map.mem_usage(), nominal * 8 + MemoryArena::kPageSize);
  // Half full: the next call grows the table first, even for a known key.
  EXPECT_EQ(map.mutate_or_create<uint32_t>(key_of(0), inc).value(), 2u);
  EXPECT_EQ(map.capacity(), 2 * nominal);
  EXPECT_EQ(map.mem_usage(), 2 * nominal * 8 + MemoryArena::kPageSize);
  for (uint32_t i = 1; i <= nominal / 2; ++i) ASSERT_EQ(map.mutate_or_create<uint32_t>(key_of(i), inc).value(), i < nominal / 2 ? 2u : 1u);
  EXPECT_EQ(map.len(), nominal / 2 + 1);
  EXPECT_EQ(map.iter().size(), nominal / 2 + 1);
}

TEST(ArenaHashMap, LongKeysAreTruncated) {
  ArenaHashMap map(4);
  Bytes k1(65536, 'x'), k2(65535, 'x');
  auto inc = [](std::optional<uint32_t> v) { return v.value_or(0) + 1; };
  map.mutate_or_create<uint32_t>(k1, inc).value();
  EXPECT_EQ(map.mutate_or_create<uint32_t>(k2, inc).value(), 2u);
  EXPECT_EQ(map.len(), 1u);
  EXPECT_EQ(murmurhash2({}), murmurhash2(Bytes{}));
}

TEST(ExpUnrolledLinkedList, BlocksGrowAndReadBackInOrder) {
  MemoryArena arena;
  ExpUnrolledLinkedList list;
  std::vector<uint8_t> out;
  ASSERT_TRUE(list.read_to_end(arena, out).has_value());
  EXPECT_TRUE(out.empty());
  Bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(list.extend_from_slice(arena, eight).has_value());
  EXPECT_EQ(list.remaining_cap, 0);
  EXPECT_EQ(list.block_num, 3u);
  ASSERT_TRUE(list.read_to_end(arena, out).has_value());
  EXPECT_EQ(out, eight);
  ASSERT_TRUE(list.extend_from_slice(arena, Bytes{9}).has_value());
  EXPECT_EQ(list.remaining_cap, 15);

  // Enough bytes for more than 13 blocks, written in uneven pieces.
  MemoryArena big_arena;
  ExpUnrolledLinkedList big;
  Bytes expected;
  std::mt19937 rng(9);
  while (expected.size() < 300000) {
    Bytes piece(1 + rng() % 5000);
    for (auto& c : piece) c = static_cast<uint8_t>(rng());
    ASSERT_TRUE(big.extend_from_slice(big_arena, piece).has_value());
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  EXPECT_GT(big.block_num, 15u);
  Bytes all;
  ASSERT_TRUE(big.read_to_end(big_arena, all).has_value());
  EXPECT_EQ(all, expected);

  ExpUnrolledLinkedList broken = list;
  broken.remaining_cap = 1000;
  EXPECT_FALSE(broken.read_to_end(arena, out).has_value());
}

}  // namespace
}  // namespace fendral::stacker
