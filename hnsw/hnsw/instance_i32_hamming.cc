// The i32 index with DistHamming.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::i32, dist::DistHamming>;

}  // namespace vantor
