// The u8 index with DistL1.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u8, dist::DistL1>;

}  // namespace vantor
