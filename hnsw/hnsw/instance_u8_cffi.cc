// The u8 index with DistCFFI.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u8, dist::DistCFFI<dist::u8>>;

}  // namespace vantor
