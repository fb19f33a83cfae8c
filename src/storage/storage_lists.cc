#include "storage/storage_lists.h"

#include <algorithm>

#include "common/msgpack.h"
#include "storage/msgpack_fields.h"

namespace zudizid::records {

namespace mp = common::msgpack;
namespace ri = records_internal;

namespace {

constexpr size_t kMaxReservedVersions = 131072;
constexpr size_t kMaxReservedIds = 65536;

// Reads the array header of a list value.
mp::Result<uint32_t> read_list_header(mp::Reader& reader) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  if (head->kind != mp::Kind::Array) return std::unexpected(ri::invalid_type_reading(reader, *head, "a sequence"));
  return head->len;
}

template <class T, class ReadOne>
DbResult<std::vector<T>> decode_list(std::span<const uint8_t> bytes, size_t reserve_cap, ReadOne read_one) {
  mp::Reader reader(bytes);
  auto n = read_list_header(reader);
  if (!n) return std::unexpected(DbError::msgpack_decode(n.error().message));
  std::vector<T> out;
  out.reserve(std::min<size_t>({*n, reserve_cap, reader.remaining()}));
  for (uint32_t k = 0; k < *n; ++k) {
    auto head = reader.read_head();
    if (!head) return std::unexpected(DbError::msgpack_decode(head.error().message));
    auto v = read_one(reader, *head);
    if (!v) return std::unexpected(DbError::msgpack_decode(v.error().message));
    out.push_back(*v);
  }
  return out;
}

}  // namespace

std::vector<uint8_t> encode_version_list(std::span<const uint64_t> versions) {
  std::vector<uint8_t> out;
  mp::Writer w(out);
  w.write_array_header(versions.size());
  for (uint64_t v : versions) w.write_uint(v);
  return out;
}

DbResult<std::vector<uint64_t>> decode_version_list(std::span<const uint8_t> bytes) {
  return decode_list<uint64_t>(bytes, kMaxReservedVersions, [](mp::Reader& r, const mp::Head& h) {
    return ri::read_unsigned(r, h, "u64");
  });
}

std::vector<uint8_t> encode_id_list(std::span<const common::Uuid> ids) {
  std::vector<uint8_t> out;
  out.reserve(5 + ids.size() * 18);
  mp::Writer w(out);
  w.write_array_header(ids.size());
  for (const common::Uuid& id : ids) w.write_bin(id.span());
  return out;
}

DbResult<std::vector<common::Uuid>> decode_id_list(std::span<const uint8_t> bytes) {
  return decode_list<common::Uuid>(bytes, kMaxReservedIds,
                                   [](mp::Reader& r, const mp::Head& h) { return ri::read_uuid(r, h); });
}

std::vector<uint8_t> encode_counter(uint64_t value) {
  std::vector<uint8_t> out(8);
  for (int k = 7; k >= 0; --k, value >>= 8) out[k] = static_cast<uint8_t>(value);
  return out;
}

uint64_t read_counter(std::span<const uint8_t> bytes) {
  const size_t n = std::min<size_t>(bytes.size(), 8);
  uint64_t v = 0;
  for (size_t k = 0; k < n; ++k) v = (v << 8) | bytes[k];
  return v;
}

std::vector<uint8_t> encode_current_version(uint64_t version) {
  std::vector<uint8_t> out(8);
  for (int k = 0; k < 8; ++k, version >>= 8) out[k] = static_cast<uint8_t>(version);
  return out;
}

std::optional<uint64_t> read_current_version(std::span<const uint8_t> bytes) {
  if (bytes.size() != 8) return std::nullopt;
  uint64_t v = 0;
  for (int k = 7; k >= 0; --k) v = (v << 8) | bytes[k];
  return v;
}

}  // namespace zudizid::records
