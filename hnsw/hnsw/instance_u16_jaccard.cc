// The u16 index with DistJaccard.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u16, dist::DistJaccard>;

}  // namespace vantor
