// The u16 index with DistCFFI.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u16, dist::DistCFFI<dist::u16>>;

}  // namespace vantor
