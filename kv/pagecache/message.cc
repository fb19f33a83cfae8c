#include "kv/pagecache/message.h"

#include <cstring>

#include <fmt/format.h>

#include "common/crc32.h"
#include "common/log.h"
#include "kv/serialization/varint.h"

namespace kelm::pagecache {

using serialization::varint_size;
using serialization::write_varint;

uint32_t load_u32_le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t load_u64_le(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
void store_u32_le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void store_u64_le(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

MessageKind message_kind_from_byte(uint8_t byte) {
  if (byte <= 11) return static_cast<MessageKind>(byte);
  ZLOG(Debug, "kelm::pagecache", "encountered unexpected message kind byte {}", byte);
  return MessageKind::Corrupted;
}

const char* message_kind_name(MessageKind kind) {
  static const char* const names[] = {"Corrupted", "Canceled",   "Cap",      "BatchManifest", "Free",       "Counter",
                                      "InlineMeta", "BlobMeta", "InlineNode", "BlobNode",     "InlineLink", "BlobLink"};
  auto i = static_cast<uint8_t>(kind);
  return i <= 11 ? names[i] : "Corrupted";
}

bool is_blob_kind(MessageKind kind) {
  return kind == MessageKind::BlobMeta || kind == MessageKind::BlobNode || kind == MessageKind::BlobLink;
}

const char* log_kind_name(LogKind kind) {
  switch (kind) {
    case LogKind::Replace: return "Replace";
    case LogKind::Link: return "Link";
    case LogKind::Free: return "Free";
    case LogKind::Skip: return "Skip";
  }
  return "Corrupted";
}

std::optional<LogKind> log_kind_of_message(MessageKind kind) {
  switch (kind) {
    case MessageKind::Counter:
    case MessageKind::InlineMeta:
    case MessageKind::BlobMeta:
    case MessageKind::InlineNode:
    case MessageKind::BlobNode: return LogKind::Replace;
    case MessageKind::InlineLink:
    case MessageKind::BlobLink: return LogKind::Link;
    case MessageKind::Free: return LogKind::Free;
    case MessageKind::Canceled:
    case MessageKind::Cap:
    case MessageKind::BatchManifest: return LogKind::Skip;
    case MessageKind::Corrupted: break;
  }
  ZLOG(Debug, "kelm::pagecache", "encountered unexpected message kind byte {}", static_cast<uint8_t>(kind));
  return std::nullopt;
}

Result<MessageKind> choose_message_kind(PageId pid, LogKind kind, bool blob) {
  if (auto k = message_kind_for(pid, kind, blob)) return *k;
  return std::unexpected(Error::reportable_bug(
      fmt::format("internal error: entered unreachable code: unexpected combination of PageId, LogKind, and blob "
                  "status: ({}, {}, {})",
                  pid, log_kind_name(kind), blob)));
}

size_t MessageHeader::serialized_size() const {
  return 5 + varint_size(len) + varint_size(segment_number) + varint_size(pid);
}

void MessageHeader::serialize_into(uint8_t* out) const {
  store_u32_le(out, crc32);
  out[4] = static_cast<uint8_t>(kind);
  size_t at = 5;
  at += write_varint(len, out + at);
  at += write_varint(segment_number, out + at);
  write_varint(pid, out + at);
}

Result<MessageHeader::Parsed> MessageHeader::deserialize(std::span<const uint8_t> in) {
  if (in.size() < 5) return std::unexpected(Error::corruption());
  MessageHeader h;
  h.crc32 = load_u32_le(in.data());
  h.kind = message_kind_from_byte(in[4]);
  size_t at = 5;
  uint64_t* fields[] = {&h.len, &h.segment_number, &h.pid};
  for (uint64_t* f : fields) {
    auto v = serialization::read_varint(in.subspan(at));
    if (!v) return std::unexpected(Error::corruption());
    *f = v->value;
    at += v->size;
  }
  return Parsed{h, at};
}

std::string MessageHeader::debug() const {
  return fmt::format("MessageHeader {{ crc32: {}, kind: {}, segment_number: SegmentNumber({}), pid: {}, len: {} }}",
                     crc32, message_kind_name(kind), segment_number, pid, len);
}

uint32_t message_crc(std::span<const uint8_t> body, std::span<const uint8_t> header_tail) {
  uint32_t crc = zudizid::common::crc32(0, body.data(), body.size());
  crc = zudizid::common::crc32(crc, header_tail.data(), header_tail.size());
  return ~crc;
}

void stamp_message_crc(std::span<uint8_t> message, size_t header_len) {
  uint32_t crc = message_crc(message.subspan(header_len), message.subspan(4, header_len - 4));
  store_u32_le(message.data(), crc);
}

std::string SegmentHeader::debug() const {
  return fmt::format("SegmentHeader {{ lsn: {}, max_stable_lsn: {}, ok: {} }}", lsn, max_stable_lsn, ok);
}

void encode_segment_header(Lsn lsn, Lsn max_stable_lsn, uint8_t out[kSegHeaderLen]) {
  store_u64_le(out + 4, static_cast<uint64_t>(lsn ^ kLsnXor));
  store_u64_le(out + 12, static_cast<uint64_t>(max_stable_lsn ^ kLsnXor));
  store_u32_le(out, ~zudizid::common::crc32(0, out + 4, 16));
}

SegmentHeader decode_segment_header(const uint8_t in[kSegHeaderLen]) {
  SegmentHeader h;
  uint32_t stored = ~load_u32_le(in);
  h.lsn = static_cast<Lsn>(load_u64_le(in + 4)) ^ kLsnXor;
  h.max_stable_lsn = static_cast<Lsn>(load_u64_le(in + 12)) ^ kLsnXor;
  uint32_t computed = zudizid::common::crc32(0, in + 4, 16);
  h.ok = computed == stored;
  if (!h.ok)
    ZLOG(Debug, "kelm::pagecache::logger", "segment with lsn {} had computed crc {}, but stored crc {}", h.lsn, computed,
         stored);
  return h;
}

void write_cap(uint8_t* at, size_t r, uint64_t segment_number) {
  MessageHeader h;
  h.kind = MessageKind::Cap;
  h.len = r - kMaxMsgHeaderLen;
  h.segment_number = segment_number;
  h.pid = kCapPid;
  size_t hl = h.serialized_size();
  h.serialize_into(at);
  std::memset(at + hl, 0, r - hl);
  uint32_t crc = message_crc({at + hl, h.len}, {at + 4, hl - 4});
  store_u32_le(at, crc);
}

}  // namespace kelm::pagecache
