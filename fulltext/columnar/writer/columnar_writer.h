// Collects the fast-field values of one segment while its documents are
// indexed, and writes the segment's fast-field file.
//
// Columns are identified by (name, family); one name may exist in several
// families (a JSON path holding numbers and texts). Every column buffers its
// values as ColumnOperations in an arena; nothing is decoded until
// serialize. Document ids passed to the record operations never decrease.
//
// Names and terms longer than 65535 bytes cannot be stored distinctly; such a
// value (or column declaration) is skipped with a warning. A number of
// another type reaching a column forced to one numerical type is skipped
// with a warning as well.
//
//   ColumnarWriter w;
//   w.record_column_type("price", ColumnType::F64, false);
//   w.record_numerical(0, "price", NumericalValue::from_f64(9.5));
//   w.serialize(num_docs, out);
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fulltext/columnar/column_type.h"
#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/stacker/expull.h"
#include "fulltext/stacker/shared_arena_hashmap.h"

namespace fendral::columnar {

constexpr uint32_t kFormatVersion = 2;
constexpr uint32_t kMagic = 0x42777102;
constexpr size_t kMaxKeyLen = 0xFFFF;

using Name = std::span<const uint8_t>;
inline Name as_name(std::string_view s) { return Name(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

class ColumnarWriter {
 public:
  ColumnarWriter();

  void record_column_type(Name name, ColumnType type, bool sort_values_within_row);
  Result<void> record_numerical(uint32_t doc, Name name, NumericalValue value);
  Result<void> record_bool(uint32_t doc, Name name, bool value);
  Result<void> record_datetime(uint32_t doc, Name name, int64_t nanos);
  Result<void> record_ip_addr(uint32_t doc, Name name, const std::array<uint8_t, 16>& addr);
  Result<void> record_str(uint32_t doc, Name name, std::span<const uint8_t> text);
  Result<void> record_bytes(uint32_t doc, Name name, std::span<const uint8_t> bytes);

  void record_column_type(std::string_view name, ColumnType t, bool sort) { record_column_type(as_name(name), t, sort); }

  // Writes the fast-field file for `num_docs` documents.
  IoResult<void> serialize(uint32_t num_docs, Write& out);

  size_t mem_usage() const;

  // Per-column recording state, stored in the family maps.
  struct ColumnState {
    uint32_t last_doc = 0;
    uint8_t has_last_doc = 0;
    uint8_t cardinality = 0;
    stacker::ExpUnrolledLinkedList values;
  };
  struct NumericalState {
    ColumnState col;
    uint8_t fits_i64 = 1;
    uint8_t fits_u64 = 1;
    uint8_t forced = 0xFF;  // a NumericalType, or none
  };
  struct DictionaryState {
    ColumnState col;
    uint32_t dictionary_id = 0;
    uint8_t sort_values_within_row = 0;
  };

 private:
  enum Family { kNumerical, kBool, kIpAddr, kDateTime, kBytes, kStr, kFamilies };

  Result<void> record_plain(Family family, uint32_t doc, Name name, std::span<const uint8_t> payload);
  Result<void> record_term(Family family, uint32_t doc, Name name, std::span<const uint8_t> term);
  Result<void> append(ColumnState& col, uint32_t doc, std::span<const uint8_t> payload);
  DictionaryState new_dictionary_column();
  IoResult<void> write_column(Family family, Name name, const void* state, ColumnType type, uint32_t num_docs,
                              std::vector<uint8_t>& buf);

  stacker::ArenaHashMap maps_[kFamilies];
  stacker::MemoryArena arena_;  // operation lists and dictionary entries
  std::vector<stacker::SharedArenaHashMap> dictionaries_;
  std::vector<uint8_t> scratch_;
  // Reused while serializing.
  std::vector<uint8_t> ops_;
  std::vector<uint64_t> values_;
  std::vector<uint32_t> docs_;
  std::vector<uint64_t> starts_;
};

}  // namespace fendral::columnar
