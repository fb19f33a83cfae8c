// The u16 index with DistLevenshtein.
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<dist::u16, dist::DistLevenshtein>;

}  // namespace vantor
