#include "common/msgpack.h"

#include <fmt/format.h>

#include <bit>
#include <cstring>

#include "common/float_text.h"
#include "common/io_error.h"
#include "common/utf8.h"

namespace zudizid::common::msgpack {
namespace {

const Error kMarkerEof{"IO error while reading marker: failed to fill whole buffer"};
const Error kDataEof{"IO error while reading data: failed to fill whole buffer"};
const Error kPayloadEof{"IO error while reading data: unexpected end of file"};
const Error kDepth{"depth limit exceeded"};

}  // namespace

std::string marker_name(uint8_t m) {
  if (m <= 0x7f) return fmt::format("FixPos({})", m);
  if (m <= 0x8f) return fmt::format("FixMap({})", m & 0x0f);
  if (m <= 0x9f) return fmt::format("FixArray({})", m & 0x0f);
  if (m <= 0xbf) return fmt::format("FixStr({})", m & 0x1f);
  if (m >= 0xe0) return fmt::format("FixNeg({})", static_cast<int8_t>(m));
  static const char* const kNames[] = {
      "Null",    "Reserved", "False",   "True",    "Bin8",     "Bin16",    "Bin32",   "Ext8",
      "Ext16",   "Ext32",    "F32",     "F64",     "U8",       "U16",      "U32",     "U64",
      "I8",      "I16",      "I32",     "I64",     "FixExt1",  "FixExt2",  "FixExt4", "FixExt8",
      "FixExt16", "Str8",    "Str16",   "Str32",   "Array16",  "Array32",  "Map16",   "Map32",
  };
  return kNames[m - 0xc0];
}

// ---------------------------------------------------------------- writer

void Writer::put_be(uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) out_.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

bool Writer::check_len(size_t n) {
  if (n <= 0xffffffffu) return true;
  if (error_.empty()) error_ = fmt::format("length {} exceeds the MessagePack limit of 4294967295", n);
  return false;
}

void Writer::put_sized(uint8_t first_marker, int first_width, uint64_t v) {
  uint8_t marker = first_marker;
  int width = first_width;
  while (width < 8 && (v >> (8 * width)) != 0) {
    ++marker;
    width *= 2;
  }
  out_.push_back(marker);
  put_be(v, width);
}

void Writer::write_uint(uint64_t v) {
  if (v <= 0x7f) {
    out_.push_back(static_cast<uint8_t>(v));
  } else {
    put_sized(0xcc, 1, v);
  }
}

void Writer::write_int(int64_t v) {
  if (v >= 0) return write_uint(static_cast<uint64_t>(v));
  uint64_t bits = static_cast<uint64_t>(v);
  if (v >= -32) {
    out_.push_back(static_cast<uint8_t>(bits));
  } else if (v >= -128) {
    out_.push_back(0xd0);
    put_be(bits, 1);
  } else if (v >= -32768) {
    out_.push_back(0xd1);
    put_be(bits, 2);
  } else if (v >= -2147483648LL) {
    out_.push_back(0xd2);
    put_be(bits, 4);
  } else {
    out_.push_back(0xd3);
    put_be(bits, 8);
  }
}

void Writer::write_f32(float v) {
  out_.push_back(0xca);
  put_be(std::bit_cast<uint32_t>(v), 4);
}

void Writer::write_f64(double v) {
  out_.push_back(0xcb);
  put_be(std::bit_cast<uint64_t>(v), 8);
}

void Writer::write_str(std::string_view s) {
  size_t n = s.size();
  if (!check_len(n)) return;
  if (n < 32) {
    out_.push_back(static_cast<uint8_t>(0xa0 | n));
  } else {
    put_sized(0xd9, 1, n);
  }
  out_.insert(out_.end(), s.begin(), s.end());
}

void Writer::write_bin(std::span<const uint8_t> b) {
  size_t n = b.size();
  if (!check_len(n)) return;
  put_sized(0xc4, 1, n);
  out_.insert(out_.end(), b.begin(), b.end());
}

void Writer::put_count(size_t n, uint8_t fix_marker, uint8_t first_marker) {
  if (!check_len(n)) return;
  if (n < 16) {
    out_.push_back(static_cast<uint8_t>(fix_marker | n));
  } else {
    put_sized(first_marker, 2, n);
  }
}

void Writer::write_array_header(size_t n) { put_count(n, 0x90, 0xdc); }

void Writer::write_map_header(size_t n) { put_count(n, 0x80, 0xde); }

void Writer::write_ext(int8_t type, std::span<const uint8_t> data) {
  size_t n = data.size();
  if (!check_len(n)) return;
  switch (n) {
    case 1: out_.push_back(0xd4); break;
    case 2: out_.push_back(0xd5); break;
    case 4: out_.push_back(0xd6); break;
    case 8: out_.push_back(0xd7); break;
    case 16: out_.push_back(0xd8); break;
    default: put_sized(0xc7, 1, n);
  }
  out_.push_back(static_cast<uint8_t>(type));
  out_.insert(out_.end(), data.begin(), data.end());
}

// ---------------------------------------------------------------- reader

Result<uint8_t> Reader::peek_marker() const {
  if (pos_ >= size_) return std::unexpected(kMarkerEof);
  return data_[pos_];
}

Result<uint64_t> Reader::read_be(int bytes) {
  if (remaining() < static_cast<size_t>(bytes)) {
    pos_ = size_;
    return std::unexpected(kDataEof);
  }
  uint64_t v = 0;
  for (int k = 0; k < bytes; ++k) v = (v << 8) | data_[pos_++];
  return v;
}

Result<Head> Reader::read_head() {
  if (pos_ >= size_) return std::unexpected(kMarkerEof);
  Head h;
  const uint8_t m = data_[pos_++];
  h.marker = m;
  // Fix forms carry their value, length or count in the marker itself.
  if (m <= 0x7f) {
    h.kind = Kind::UInt;
    h.u = m;
    return h;
  }
  if (m >= 0xe0) {
    h.kind = Kind::SInt;
    h.i = static_cast<int8_t>(m);
    return h;
  }
  if (m <= 0x8f) {
    h.kind = Kind::Map;
    h.len = m & 0x0f;
    return h;
  }
  if (m <= 0x9f) {
    h.kind = Kind::Array;
    h.len = m & 0x0f;
    return h;
  }
  if (m <= 0xbf) {
    h.kind = Kind::Str;
    h.len = m & 0x1f;
    return h;
  }
  // The other markers are followed by big-endian data of a fixed width: the
  // value of a scalar, the length of a payload or the count of a container.
  int width = 0;
  switch (m) {
    case 0xc0: h.kind = Kind::Nil; return h;
    case 0xc1: h.kind = Kind::Reserved; return h;
    case 0xc2: case 0xc3: h.kind = Kind::Bool; h.boolean = m == 0xc3; return h;
    case 0xc4: case 0xc5: case 0xc6: h.kind = Kind::Bin; width = 1 << (m - 0xc4); break;
    case 0xc7: case 0xc8: case 0xc9: h.kind = Kind::Ext; width = 1 << (m - 0xc7); break;
    case 0xca: h.kind = Kind::F32; width = 4; break;
    case 0xcb: h.kind = Kind::F64; width = 8; break;
    case 0xcc: case 0xcd: case 0xce: case 0xcf: h.kind = Kind::UInt; width = 1 << (m - 0xcc); break;
    case 0xd0: case 0xd1: case 0xd2: case 0xd3: h.kind = Kind::SInt; width = 1 << (m - 0xd0); break;
    case 0xd4: case 0xd5: case 0xd6: case 0xd7: case 0xd8:
      // Fix ext: the length is in the marker, the data is the type byte.
      h.kind = Kind::Ext;
      h.len = 1u << (m - 0xd4);
      width = 1;
      break;
    case 0xd9: case 0xda: case 0xdb: h.kind = Kind::Str; width = 1 << (m - 0xd9); break;
    case 0xdc: case 0xdd: h.kind = Kind::Array; width = 2 << (m - 0xdc); break;
    default: h.kind = Kind::Map; width = 2 << (m - 0xde); break;  // 0xde, 0xdf
  }
  auto v = read_be(width);
  if (!v) return std::unexpected(v.error());
  switch (h.kind) {
    case Kind::F32:
      h.f32 = std::bit_cast<float>(static_cast<uint32_t>(*v));
      h.f = h.f32;
      break;
    case Kind::F64: h.f = std::bit_cast<double>(*v); break;
    case Kind::UInt: h.u = *v; break;
    case Kind::SInt: {
      int shift = 64 - 8 * width;
      h.i = shift ? static_cast<int64_t>(*v << shift) >> shift : static_cast<int64_t>(*v);
      break;
    }
    case Kind::Ext:
      if (m <= 0xc9) {  // ext 8/16/32: the length, then the type byte
        h.len = static_cast<uint32_t>(*v);
        v = read_be(1);
        if (!v) return std::unexpected(v.error());
      }
      h.ext_type = static_cast<int8_t>(*v);
      break;
    default: h.len = static_cast<uint32_t>(*v); break;  // Str, Bin, Array, Map
  }
  return h;
}

Result<std::span<const uint8_t>> Reader::read_payload(uint32_t len) {
  if (remaining() < len) {
    pos_ = size_;
    return std::unexpected(kPayloadEof);
  }
  std::span<const uint8_t> out(data_ + pos_, len);
  pos_ += len;
  return out;
}

Result<void> Reader::enter() {
  if (depth_ <= 1) return std::unexpected(kDepth);
  --depth_;
  return {};
}

Result<Value> Reader::read_value() {
  auto h = read_head();
  if (!h) return std::unexpected(h.error());
  return read_value_after(*h);
}

Result<Value> Reader::read_value_after(const Head& head) {
  Value v;
  v.head = head;
  switch (head.kind) {
    case Kind::Str:
    case Kind::Bin:
    case Kind::Ext: {
      auto p = read_payload(head.len);
      if (!p) return std::unexpected(p.error());
      v.bytes.assign(reinterpret_cast<const char*>(p->data()), p->size());
      return v;
    }
    case Kind::Array: {
      if (auto e = enter(); !e) return std::unexpected(e.error());
      v.items.reserve(plausible_count(head.len));
      for (uint32_t k = 0; k < head.len; ++k) {
        auto item = read_value();
        if (!item) return std::unexpected(item.error());
        v.items.push_back(std::move(*item));
      }
      leave();
      return v;
    }
    case Kind::Map: {
      if (auto e = enter(); !e) return std::unexpected(e.error());
      v.entries.reserve(plausible_count(head.len, 2));
      for (uint32_t k = 0; k < head.len; ++k) {
        auto key = read_value();
        if (!key) return std::unexpected(key.error());
        auto val = read_value();
        if (!val) return std::unexpected(val.error());
        v.entries.emplace_back(std::move(*key), std::move(*val));
      }
      leave();
      return v;
    }
    default:
      return v;
  }
}

Result<void> Reader::skip_value() {
  auto h = read_head();
  if (!h) return std::unexpected(h.error());
  return skip_value_after(*h);
}

Result<void> Reader::skip_value_after(const Head& head) {
  switch (head.kind) {
    case Kind::Str:
    case Kind::Bin:
    case Kind::Ext: {
      auto p = read_payload(head.len);
      if (!p) return std::unexpected(p.error());
      return {};
    }
    case Kind::Array:
    case Kind::Map: {
      if (auto e = enter(); !e) return e;
      uint64_t n = head.kind == Kind::Map ? 2ull * head.len : head.len;
      for (uint64_t k = 0; k < n; ++k)
        if (auto r = skip_value(); !r) return r;
      leave();
      return {};
    }
    default:
      return {};
  }
}

// ---------------------------------------------------------------- describe

std::string describe(const Head& head, std::span<const uint8_t> payload) {
  switch (head.kind) {
    case Kind::Nil: return "unit value";
    case Kind::Bool: return head.boolean ? "boolean `true`" : "boolean `false`";
    case Kind::UInt: return fmt::format("integer `{}`", head.u);
    case Kind::SInt: return fmt::format("integer `{}`", head.i);
    case Kind::F32:
    case Kind::F64: return "floating point `" + float_debug(head.f) + "`";
    case Kind::Str: {
      std::string_view s(reinterpret_cast<const char*>(payload.data()), payload.size());
      if (!is_valid_utf8(s)) return "byte array";
      return "string " + debug_quote(s);
    }
    case Kind::Bin: return "byte array";
    case Kind::Array: return "sequence";
    case Kind::Map: return "map";
    case Kind::Ext: return "newtype struct";
    case Kind::Reserved: break;
  }
  return "reserved marker";
}

std::string describe(const Value& value) {
  return describe(value.head, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(value.bytes.data()),
                                                        value.bytes.size()));
}

}  // namespace zudizid::common::msgpack
