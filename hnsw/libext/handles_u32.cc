// The C calls that build u32 indexes: by distance name, with a caller-supplied
// distance, and from a dump.
#include "hnsw/libext/by_name.h"
#include "hnsw/libext/index_ops.h"
#include "hnsw/libext/vantor.h"

namespace vantor::libext {

std::unique_ptr<VectorIndexOps> make_u32_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer) {
  if (name == "DistL1") return make_ops<dist::u32, dist::DistL1>(m, ef, nb_elements, max_layer);
  if (name == "DistL2") return make_ops<dist::u32, dist::DistL2>(m, ef, nb_elements, max_layer);
  if (name == "DistHamming") return make_ops<dist::u32, dist::DistHamming>(m, ef, nb_elements, max_layer);
  if (name == "DistJaccard") return make_ops<dist::u32, dist::DistJaccard>(m, ef, nb_elements, max_layer);
  return nullptr;
}

}  // namespace vantor::libext

using namespace vantor;
using namespace vantor::libext;

extern "C" HnswHandle* init_hnsw_ptrdist_u32(size_t max_nb_connection, size_t ef_construction, DistCallbackU32 dist) {
  return wrap(make_ptrdist<dist::u32>(max_nb_connection, ef_construction, dist));
}

extern "C" HnswHandle* load_hnswdump_u32_DistL1(HnswIo* io) { return wrap(reload_ops<dist::u32, dist::DistL1>(io->io)); }
extern "C" HnswHandle* load_hnswdump_u32_DistL2(HnswIo* io) { return wrap(reload_ops<dist::u32, dist::DistL2>(io->io)); }
extern "C" HnswHandle* load_hnswdump_u32_DistHamming(HnswIo* io) { return wrap(reload_ops<dist::u32, dist::DistHamming>(io->io)); }
extern "C" HnswHandle* load_hnswdump_u32_DistJaccard(HnswIo* io) { return wrap(reload_ops<dist::u32, dist::DistJaccard>(io->io)); }
