// The u32 index with DistHamming.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u32, dist::DistHamming>;

}  // namespace vantor
