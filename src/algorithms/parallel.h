// Data parallelism for the algorithms. Work is cut into blocks chosen from
// the input alone, never from the thread count, and every sum across blocks
// is formed in block order, so results are the same on any machine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "hnsw/hnsw/parallel.h"

namespace zudizid::algorithms {

// Calls f(b) for every b in [0, blocks) on the process-wide data-parallel
// pool and returns when all are done.
template <class F>
void for_each_block(size_t blocks, F&& f) {
  if (blocks == 1) {
    f(size_t{0});
    return;
  }
  vantor::parallel_for_each_index(blocks, std::forward<F>(f));
}

// [begin, end) of block `b` when `n` items are cut into `blocks` pieces.
inline std::pair<size_t, size_t> block_range(size_t n, size_t blocks, size_t b) {
  return {n * b / blocks, n * (b + 1) / blocks};
}

// Pieces for `n` items of roughly `grain` each, at most `max_blocks`.
inline size_t blocks_for(size_t n, size_t grain, size_t max_blocks = 256) {
  return std::clamp<size_t>(n / std::max<size_t>(grain, 1), 1, max_blocks);
}

// Sorts `v` by `less` (a strict weak order): blocks sorted on the pool, then
// merged pairwise, each round's merges on the pool. Elements that compare
// equal may end in any order, so give `less` a total order where that
// matters.
template <class T, class Less>
void parallel_sort(std::vector<T>& v, Less less) {
  const size_t blocks = blocks_for(v.size(), 1 << 16, 16);
  if (blocks == 1) {
    std::sort(v.begin(), v.end(), less);
    return;
  }
  auto at = [&](size_t b) { return v.begin() + static_cast<ptrdiff_t>(block_range(v.size(), blocks, b).first); };
  for_each_block(blocks, [&](size_t b) { std::sort(at(b), b + 1 < blocks ? at(b + 1) : v.end(), less); });
  for (size_t width = 1; width < blocks; width *= 2) {
    const size_t pairs = (blocks + 2 * width - 1) / (2 * width);
    for_each_block(pairs, [&](size_t p) {
      const size_t lo = 2 * width * p, mid = lo + width, hi = std::min(lo + 2 * width, blocks);
      if (mid >= blocks) return;
      std::inplace_merge(at(lo), at(mid), hi < blocks ? at(hi) : v.end(), less);
    });
  }
}

}  // namespace zudizid::algorithms
