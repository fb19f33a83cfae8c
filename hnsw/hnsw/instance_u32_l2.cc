// The u32 index with DistL2.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u32, dist::DistL2>;

}  // namespace vantor
