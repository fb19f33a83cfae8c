// The i32 index with DistL1.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::i32, dist::DistL1>;

}  // namespace vantor
