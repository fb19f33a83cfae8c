#include "fulltext/columnar/writer/column_operation.h"

#include <bit>

namespace fendral::columnar {

namespace {

uint8_t minimal_len(uint64_t v) { return static_cast<uint8_t>((64 - std::countl_zero(v) + 7) / 8); }

void append_le(std::vector<uint8_t>& out, uint64_t v, uint8_t n) {
  for (uint8_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

void append_new_doc(std::vector<uint8_t>& out, uint32_t doc) {
  uint8_t n = minimal_len(doc);
  out.push_back(n);
  append_le(out, doc, n);
}

void append_numerical(std::vector<uint8_t>& out, NumericalValue v) {
  switch (v.type) {
    case NumericalType::I64: {
      int64_t x = v.as_i64();
      uint64_t z = (static_cast<uint64_t>(x) << 1) ^ static_cast<uint64_t>(x >> 63);
      uint8_t n = minimal_len(z);
      out.push_back(static_cast<uint8_t>(0x40 + 1 + n));
      out.push_back(0);
      append_le(out, z, n);
      return;
    }
    case NumericalType::U64: {
      uint8_t n = minimal_len(v.bits);
      out.push_back(static_cast<uint8_t>(0x40 + 1 + n));
      out.push_back(1);
      append_le(out, v.bits, n);
      return;
    }
    case NumericalType::F64:
      out.push_back(0x49);
      out.push_back(2);
      append_le(out, v.bits, 8);
      return;
  }
}

void append_bool(std::vector<uint8_t>& out, bool v) {
  out.push_back(0x41);
  out.push_back(v ? 1 : 0);
}

void append_ip(std::vector<uint8_t>& out, const uint8_t addr[16]) {
  out.push_back(0x50);
  out.insert(out.end(), addr, addr + 16);
}

void append_term(std::vector<uint8_t>& out, uint32_t unordered_id) {
  uint8_t n = minimal_len(unordered_id);
  out.push_back(static_cast<uint8_t>(0x40 + n));
  append_le(out, unordered_id, n);
}

bool OperationReader::next(ColumnOperation& op) {
  if (in_.empty()) return false;
  uint8_t meta = in_[0];
  size_t len = meta & 0x3F;
  if ((meta & 0x80) || len > in_.size() - 1) return false;
  std::span<const uint8_t> payload = in_.subspan(1, len);
  in_ = in_.subspan(1 + len);
  op.is_value = (meta & 0x40) != 0;
  op.payload = payload;
  op.doc = op.is_value ? 0 : static_cast<uint32_t>(decode_uint(payload.first(std::min<size_t>(4, len))));
  return true;
}

uint64_t decode_uint(std::span<const uint8_t> payload) {
  uint64_t v = 0;
  for (size_t i = 0; i < payload.size() && i < 8; ++i) v |= uint64_t{payload[i]} << (8 * i);
  return v;
}

NumericalValue decode_numerical(std::span<const uint8_t> payload) {
  if (payload.empty()) return {};
  uint64_t u = decode_uint(payload.subspan(1));
  switch (payload[0]) {
    case 0:
      return NumericalValue{NumericalType::I64, (u >> 1) ^ (0 - (u & 1))};
    case 2:
      return NumericalValue{NumericalType::F64, u};
    default:
      return NumericalValue{NumericalType::U64, u};
  }
}

}  // namespace fendral::columnar
