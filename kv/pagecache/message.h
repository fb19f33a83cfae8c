// The byte layout of the log file `db`: segment headers, message headers,
// message kinds, the Cap that closes a segment and the checksums.
//
// A segment of `segment_size` bytes starts with a 20-byte header
//   [0..4)   ~crc32(bytes 4..20), little-endian
//   [4..12)  lsn            ^ 0x7FFF_FFFF_FFFF_FFFF, i64 little-endian
//   [12..20) max_stable_lsn ^ 0x7FFF_FFFF_FFFF_FFFF, i64 little-endian
// followed by messages back to back. A message is a header
//   crc32 (4, LE) | kind (1) | len (varint) | segment_number (varint) | pid (varint)
// and `len` body bytes. crc32 stores ~crc32(body ++ header[4..]). No message
// starts in the last 32 bytes of a segment (the red zone): 32 is the largest
// header, so a header always fits where a message may start.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "kv/error.h"
#include "kv/pagecache/disk_ptr.h"
#include "kv/pagecache/log_api.h"
#include "kv/pagecache/page.h"

namespace kelm::pagecache {

inline constexpr size_t kSegHeaderLen = 20;
inline constexpr size_t kMaxMsgHeaderLen = 32;  // also the red zone
inline constexpr PageId kCapPid = UINT64_MAX;  // 2^64 - 1; batch manifests use kBatchManifestPid
inline constexpr int64_t kLsnXor = 0x7FFF'FFFF'FFFF'FFFF;

// Bytes above 11 read as Corrupted (logged at debug level).
MessageKind message_kind_from_byte(uint8_t byte);
const char* message_kind_name(MessageKind kind);
bool is_blob_kind(MessageKind kind);

const char* log_kind_name(LogKind kind);
// The change a valid message records; nothing for Corrupted.
std::optional<LogKind> log_kind_of_message(MessageKind kind);

// Whether a body of n serialized bytes goes to a blob file.
inline bool over_blob_threshold(uint64_t n, uint64_t segment_size) {
  return n + kMaxMsgHeaderLen > segment_size / 4 - kSegHeaderLen;
}

// message_kind_for, with the text of the defect for a combination the
// engine never produces (ReportableBug).
Result<MessageKind> choose_message_kind(PageId pid, LogKind kind, bool blob);

struct MessageHeader {
  uint32_t crc32 = 0;
  MessageKind kind = MessageKind::Corrupted;
  uint64_t segment_number = 0;
  PageId pid = 0;
  uint64_t len = 0;

  size_t serialized_size() const;
  // Writes serialized_size() bytes; the checksum field as stored in crc32.
  void serialize_into(uint8_t* out) const;
  struct Parsed;
  // Corruption when fewer than 5 bytes or a varint runs past the input.
  static Result<Parsed> deserialize(std::span<const uint8_t> in);

  // MessageHeader { crc32: .., kind: .., segment_number: SegmentNumber(..), pid: .., len: .. }
  std::string debug() const;
};

struct MessageHeader::Parsed {
  MessageHeader header;
  size_t size;  // bytes the header took
};

// ~crc32(body ++ header_tail), header_tail being the header bytes after the
// checksum field.
uint32_t message_crc(std::span<const uint8_t> body, std::span<const uint8_t> header_tail);

// Stamps the checksum of a complete message (header of header_len bytes,
// then the body) into its first four bytes.
void stamp_message_crc(std::span<uint8_t> message, size_t header_len);

struct SegmentHeader {
  Lsn lsn = 0;
  Lsn max_stable_lsn = 0;
  bool ok = false;
  std::string debug() const;
};

void encode_segment_header(Lsn lsn, Lsn max_stable_lsn, uint8_t out[kSegHeaderLen]);
SegmentHeader decode_segment_header(const uint8_t in[kSegHeaderLen]);

// Closes a segment whose last r >= 32 bytes (starting at `at`) are unused
// with a Cap message: header, then zeros to the end, checksum over the
// r - 32 body bytes and the header.
void write_cap(uint8_t* at, size_t r, uint64_t segment_number);

uint32_t load_u32_le(const uint8_t* p);
uint64_t load_u64_le(const uint8_t* p);
void store_u32_le(uint8_t* p, uint32_t v);
void store_u64_le(uint8_t* p, uint64_t v);

}  // namespace kelm::pagecache
