// The i32 index with DistCFFI.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::i32, dist::DistCFFI<dist::i32>>;

}  // namespace vantor
