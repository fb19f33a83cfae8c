// The u32 index with DistCFFI.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u32, dist::DistCFFI<dist::u32>>;

}  // namespace vantor
