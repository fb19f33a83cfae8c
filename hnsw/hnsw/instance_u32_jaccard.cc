// The u32 index with DistJaccard.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u32, dist::DistJaccard>;

}  // namespace vantor
