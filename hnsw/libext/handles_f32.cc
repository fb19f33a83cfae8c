// The C calls that build f32 indexes: by distance name, with a caller-supplied
// distance, and from a dump.
#include "hnsw/libext/by_name.h"
#include "hnsw/libext/index_ops.h"
#include "hnsw/libext/vantor.h"

namespace vantor::libext {

std::unique_ptr<VectorIndexOps> make_f32_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer) {
  if (name == "DistL1") return make_ops<float, dist::DistL1>(m, ef, nb_elements, max_layer);
  if (name == "DistL2") return make_ops<float, dist::DistL2>(m, ef, nb_elements, max_layer);
  if (name == "DistDot") return make_ops<float, dist::DistDot>(m, ef, nb_elements, max_layer);
  if (name == "DistJeffreys") return make_ops<float, dist::DistJeffreys>(m, ef, nb_elements, max_layer);
  if (name == "DistHellinger") return make_ops<float, dist::DistHellinger>(m, ef, nb_elements, max_layer);
  if (name == "DistJensenShannon") return make_ops<float, dist::DistJensenShannon>(m, ef, nb_elements, max_layer);
  return nullptr;
}

}  // namespace vantor::libext

using namespace vantor;
using namespace vantor::libext;

extern "C" HnswHandle* init_hnsw_ptrdist_f32(size_t max_nb_connection, size_t ef_construction, DistCallbackF32 dist) {
  return wrap(make_ptrdist<float>(max_nb_connection, ef_construction, dist));
}

extern "C" HnswHandle* load_hnswdump_f32_DistL1(HnswIo* io) { return wrap(reload_ops<float, dist::DistL1>(io->io)); }
extern "C" HnswHandle* load_hnswdump_f32_DistL2(HnswIo* io) { return wrap(reload_ops<float, dist::DistL2>(io->io)); }
extern "C" HnswHandle* load_hnswdump_f32_DistDot(HnswIo* io) { return wrap(reload_ops<float, dist::DistDot>(io->io)); }
extern "C" HnswHandle* load_hnswdump_f32_DistJeffreys(HnswIo* io) { return wrap(reload_ops<float, dist::DistJeffreys>(io->io)); }
extern "C" HnswHandle* load_hnswdump_f32_DistJensenShannon(HnswIo* io) { return wrap(reload_ops<float, dist::DistJensenShannon>(io->io)); }
extern "C" HnswHandle* load_hnswdump_f32_DistCosine(HnswIo* io) { return wrap(reload_ops<float, dist::DistCosine>(io->io)); }
