// The u8 index with DistHamming.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u8, dist::DistHamming>;

}  // namespace vantor
