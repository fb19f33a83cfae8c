#include "fulltext/directory/footer.h"

#include <fmt/format.h>

#include "common/crc32.h"

namespace fendral {

const Version& engine_version() {
  static const Version v{0, 26, 1, 7};
  return v;
}

std::string Footer::to_json() const {
  std::string out;
  out.reserve(128);
  out += fmt::format(R"({{"version":{{"major":{},"minor":{},"patch":{},"index_format_version":{}}},"crc":{}}})",
                     version.major, version.minor, version.patch, version.index_format_version, crc);
  return out;
}

IoResult<size_t> FooterProxy::write(std::span<const uint8_t> bytes) {
  if (!inner_ || !crc_) contract_violation("called `Option::unwrap()` on a `None` value");
  auto n = inner_->write(bytes);
  if (!n) return n;
  crc_ = zudizid::common::crc32(*crc_, bytes.data(), *n);
  return n;
}

IoResult<void> FooterProxy::flush() {
  if (!inner_) contract_violation("called `Option::unwrap()` on a `None` value");
  return inner_->flush();
}

static void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

IoResult<void> FooterProxy::terminate_ref() {
  if (!inner_ || !crc_) contract_violation("called `Option::unwrap()` on a `None` value");
  uint32_t crc = *crc_;
  crc_.reset();
  std::unique_ptr<TerminatingWrite> inner = std::move(inner_);
  Footer footer{engine_version(), crc};
  std::string json = footer.to_json();
  std::vector<uint8_t> tail;
  put_u32(tail, static_cast<uint32_t>(json.size()));
  put_u32(tail, kFooterMagic);
  if (auto r = inner->write_all(json); !r) return r;
  if (auto r = inner->write_all(std::span<const uint8_t>(tail.data(), 4)); !r) return r;
  if (auto r = inner->write_all(std::span<const uint8_t>(tail.data() + 4, 4)); !r) return r;
  return inner->terminate_ref();
}

IoResult<std::pair<Footer, FileSlice>> split_footer(const FileSlice& file) {
  size_t len = file.len();
  if (len < 4) {
    return io_fail(IoErrorKind::UnexpectedEof,
                   fmt::format("File corrupted. The file is smaller than 4 bytes (len={}).", len));
  }
  if (len < 8) {
    // Too short for the 8-byte tail: corrupt, never read before the start.
    return io_fail(IoErrorKind::UnexpectedEof,
                   fmt::format("File corrupted. The file is smaller than 8 bytes (len={}).", len));
  }
  auto tail = file.read_range(len - 8, len);
  if (!tail) return std::unexpected(tail.error());
  const uint8_t* p = tail->data();
  uint32_t json_len = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  uint32_t magic = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
  if (magic != kFooterMagic) {
    return io_fail(IoErrorKind::InvalidData,
                   "Footer magic byte mismatch. File corrupted or index was created using old an Fendral version "
                   "which is not supported anymore. Please use Fendral 0.15 or above to recreate the index.");
  }
  if (json_len > kFooterMaxJsonLen) {
    return io_fail(IoErrorKind::InvalidData,
                   fmt::format("Footer seems invalid as it suggests a footer len of {}. File is corrupted, or the "
                               "index was created with a different & old version of Fendral.",
                               json_len));
  }
  if (len < uint64_t{json_len} + 8) {
    return io_fail(IoErrorKind::UnexpectedEof,
                   fmt::format("File corrupted. The file is smaller than it's footer bytes (len={}).",
                               uint64_t{json_len} + 8));
  }
  size_t body_len = len - json_len - 8;
  auto json = file.read_range(body_len, len - 8);
  if (!json) return std::unexpected(json.error());
  auto footer = Footer::from_json(
      std::string_view(reinterpret_cast<const char*>(json->data()), json->len()));
  if (!footer) return std::unexpected(footer.error());
  return std::pair<Footer, FileSlice>(*footer, file.sub_slice(0, body_len));
}

}  // namespace fendral
