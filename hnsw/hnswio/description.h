// The header of a dump's graph file and the magic numbers of both files.
//
// Graph file: the description, a u8 layer count L, L layer blocks (layer
// magic, u64 point count, point records in rank order), then the entry
// point (u64 origin_id, u8 layer, i32 rank). A point record: MAGICPOINT, u64
// origin_id, u8 layer, i32 rank, then `nb_layer` neighbour lists, each a u64
// count of entries (u64 origin_id, u8 layer, i32 rank, f32 distance).
// Data file: MAGICDATAP, u64 dimension, then per point in the graph file's
// order: MAGICDATAP, u64 origin_id, u64 payload length P, P bytes (format 2:
// u64 element count then the elements; formats 3 and 4: the elements).
//
// Description, format 4 (formats 2 and 3 lack level_scale):
//   u32 magic, u8 dumpmode, u8 max_nb_connection, f64 level_scale,
//   u8 nb_layer, u64 ef, u64 nb_point, u64 dimension, string distname,
//   string typename (a string: u64 byte count, then UTF-8 bytes, <= 256).
#pragma once

#include <cstdint>
#include <string>

#include "hnsw/hnsw/error.h"
#include "hnsw/hnswio/byte_io.h"

namespace vantor::hnswio {

inline constexpr uint32_t kMagicDescrV4 = 0x002A6779;
inline constexpr uint32_t kMagicDescrV3 = 0x002A6771;
inline constexpr uint32_t kMagicDescrV2 = 0x002A677F;
inline constexpr uint32_t kMagicLayer = 0x000A676F;
inline constexpr uint32_t MAGICPOINT = 0x000A678F;
inline constexpr uint32_t MAGICDATAP = 0xA67F0000;
inline constexpr uint64_t kMaxNameLength = 256;
inline constexpr const char* kTarget = "vantor::hnswio";

struct Description {
  uint64_t format_version = 4;
  uint8_t dumpmode = 1;
  uint8_t max_nb_connection = 0;
  double level_scale = 1.0;
  uint8_t nb_layer = 0;
  uint64_t ef = 0;
  uint64_t nb_point = 0;
  uint64_t dimension = 0;
  std::string distname;
  std::string type_name;

  // Writes the format-4 header. Refuses an nb_layer other than 16 after
  // writing its first 15 bytes, as readers expect.
  Result<void> dump(Writer& w) const;
  // Reads a header of format 2, 3 or 4; the reader then stands on the byte
  // after it.
  static Result<Description> load(Reader& r);
};

// Error of a dump file that cannot be read as one.
inline std::unexpected<Error> bad_dump(std::string message) {
  return make_error(ErrorCode::BadDump, std::move(message));
}

}  // namespace vantor::hnswio
