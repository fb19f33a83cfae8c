// The compact encoding in which every column buffers its recorded values.
//
// An operation is a metadata byte (bit 7 clear; bit 6 set for a value, clear
// for a new document; bits 0-5 the payload length) and the payload:
//   NewDoc(d)            d in minimal little-endian form (0 to 4 bytes)
//   numerical value      type byte, then zigzag(i64) / u64 in minimal LE
//                        form, or the 8 bytes of an f64
//   bool                 one byte, 1 or 0
//   IP address           16 bytes, network order
//   term                 unordered id in minimal LE form
// Minimal LE form: the bytes up to the highest non-zero one; 0 takes none.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/columnar/column_type.h"

namespace fendral::columnar {

void append_new_doc(std::vector<uint8_t>& out, uint32_t doc);
void append_numerical(std::vector<uint8_t>& out, NumericalValue v);
void append_bool(std::vector<uint8_t>& out, bool v);
void append_ip(std::vector<uint8_t>& out, const uint8_t addr[16]);
void append_term(std::vector<uint8_t>& out, uint32_t unordered_id);

// One decoded operation. Lists are only decoded by the writer that encoded
// them; a malformed list stops decoding (next returns false).
struct ColumnOperation {
  bool is_value = false;
  uint32_t doc = 0;                   // NewDoc
  std::span<const uint8_t> payload;   // Value
};

class OperationReader {
 public:
  explicit OperationReader(std::span<const uint8_t> ops) : in_(ops) {}
  bool next(ColumnOperation& op);

 private:
  std::span<const uint8_t> in_;
};

// Payload decoders.
NumericalValue decode_numerical(std::span<const uint8_t> payload);
uint64_t decode_uint(std::span<const uint8_t> payload);

}  // namespace fendral::columnar
