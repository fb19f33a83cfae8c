// Index creation by distance name, per element type: null for a name the
// type does not offer (matched byte for byte, case included).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hnsw/libext/index_ops.h"

namespace vantor::libext {

inline constexpr uint64_t kDefaultNbElements = 10000;  // the capacity hint of init_hnsw_*

std::unique_ptr<VectorIndexOps> make_f32_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer);
std::unique_ptr<VectorIndexOps> make_i32_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer);
std::unique_ptr<VectorIndexOps> make_u16_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer);
std::unique_ptr<VectorIndexOps> make_u32_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer);
std::unique_ptr<VectorIndexOps> make_u8_by_name(const std::string& name, uint64_t m, uint64_t ef, uint64_t nb_elements,
                                                  uint64_t max_layer);

}  // namespace vantor::libext
