// Neighbour entries and the binary max-heaps of the searches.
//
// Entries compare by distance alone, with plain IEEE comparisons (false when a
// NaN is involved). The push, pop and heap sort below follow one fixed
// discipline, which decides which of several equally distant entries a trim
// drops and in which order equal entries reach the caller:
//   push: sift up, stopping below a parent of equal or greater value;
//   pop:  refill the top from the last entry by walking the hole down to the
//         bottom (right child when left <= right), then sift that entry up;
//   sort: classic in-place heap sort of a max-heap into increasing order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vantor {

// A link or a search record: a point (dense index into the point arena) and a
// distance. In neighbour lists and result heaps the distance is >= 0; the
// candidate heaps store its negation so that the nearest point is on top.
struct Entry {
  uint32_t idx;
  float dist;
};

namespace heap {

inline void sift_up(Entry* d, size_t start, size_t pos) {
  Entry x = d[pos];
  while (pos > start) {
    size_t parent = (pos - 1) / 2;
    if (x.dist <= d[parent].dist) break;
    d[pos] = d[parent];
    pos = parent;
  }
  d[pos] = x;
}

inline void push(std::vector<Entry>& h, Entry x) {
  h.push_back(x);
  sift_up(h.data(), 0, h.size() - 1);
}

// Requires a non-empty heap.
inline Entry pop(std::vector<Entry>& h) {
  Entry item = h.back();
  h.pop_back();
  if (h.empty()) return item;
  std::swap(item, h[0]);
  Entry* d = h.data();
  size_t end = h.size();
  size_t hole = 0;
  Entry moving = d[0];
  size_t child = 1;
  while (end >= 2 && child <= end - 2) {
    child += (d[child].dist <= d[child + 1].dist) ? 1 : 0;
    d[hole] = d[child];
    hole = child;
    child = 2 * hole + 1;
  }
  if (child == end - 1) {
    d[hole] = d[child];
    hole = child;
  }
  d[hole] = moving;
  sift_up(d, 0, hole);
  return item;
}

inline void sift_down_range(Entry* d, size_t pos, size_t end) {
  Entry x = d[pos];
  size_t hole = pos;
  size_t child = 2 * hole + 1;
  while (end >= 2 && child <= end - 2) {
    child += (d[child].dist <= d[child + 1].dist) ? 1 : 0;
    if (x.dist >= d[child].dist) {
      d[hole] = x;
      return;
    }
    d[hole] = d[child];
    hole = child;
    child = 2 * hole + 1;
  }
  if (child == end - 1 && x.dist < d[child].dist) {
    d[hole] = d[child];
    hole = child;
  }
  d[hole] = x;
}

// Sorts a max-heap in place into increasing distance.
inline void sort(std::vector<Entry>& h) {
  size_t end = h.size();
  while (end > 1) {
    --end;
    std::swap(h[0], h[end]);
    sift_down_range(h.data(), 0, end);
  }
}

}  // namespace heap

// Strict weak order on distances for sorting lists: increasing, NaN last.
inline bool dist_less(float a, float b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

}  // namespace vantor
