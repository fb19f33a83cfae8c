// The list and counter values of the storage layer's keys.
//
//   version list  MessagePack array of unsigned integers, highest first
//                 ("node:{}:versions"); 3, 2, 1 is 93 03 02 01
//   id list       MessagePack array of bin 8 ids (c4 10 + 16 bytes), in
//                 stored order ("ts:{}", "idx:in:{}", "idx:out:{}",
//                 "idx:prop:{}:{}"); the empty list is 90
//   counter       8 bytes big-endian ("meta:next_timestamp",
//                 "meta:next_tx_id"); readers right-align the first
//                 min(length, 8) bytes in eight zero bytes
//   current ptr   exactly 8 bytes little-endian ("node:{}:current")
//
// Decoders fail with DbError::Serialization "MessagePack deserialize error:
// {}" and never reserve more than 131,072 versions or 65,536 ids up front,
// whatever a header claims.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/uuid.h"
#include "storage/db_error.h"

namespace zudizid::records {

std::vector<uint8_t> encode_version_list(std::span<const uint64_t> versions);
DbResult<std::vector<uint64_t>> decode_version_list(std::span<const uint8_t> bytes);

std::vector<uint8_t> encode_id_list(std::span<const common::Uuid> ids);
DbResult<std::vector<common::Uuid>> decode_id_list(std::span<const uint8_t> bytes);

std::vector<uint8_t> encode_counter(uint64_t value);
uint64_t read_counter(std::span<const uint8_t> bytes);

std::vector<uint8_t> encode_current_version(uint64_t version);
// nullopt unless exactly 8 bytes.
std::optional<uint64_t> read_current_version(std::span<const uint8_t> bytes);

}  // namespace zudizid::records
