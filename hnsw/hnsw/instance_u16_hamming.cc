// The u16 index with DistHamming.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u16, dist::DistHamming>;

}  // namespace vantor
