// The compiled instances of the index: one per (element type, distance).
#include "hnsw/hnsw/hnsw.h"

namespace vantor {

template class Hnsw<float, dist::DistL1>;
template class Hnsw<float, dist::DistL2>;
template class Hnsw<float, dist::DistDot>;
template class Hnsw<float, dist::DistCosine>;
template class Hnsw<float, dist::DistHellinger>;
template class Hnsw<float, dist::DistJeffreys>;
template class Hnsw<float, dist::DistJensenShannon>;
template class Hnsw<float, dist::DistCFFI<float>>;
template class Hnsw<dist::NoData, dist::NoDist>;

}  // namespace vantor
