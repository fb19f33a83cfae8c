// The u8 index with DistJaccard.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u8, dist::DistJaccard>;

}  // namespace vantor
