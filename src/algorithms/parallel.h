// Data parallelism for the algorithms. Work is cut into blocks chosen from
// the input alone, never from the thread count, and every sum across blocks
// is formed in block order, so results are the same on any machine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

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

}  // namespace zudizid::algorithms
