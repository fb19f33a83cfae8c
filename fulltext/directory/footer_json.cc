#include <fmt/format.h>

#include "fulltext/common/json_de.h"
#include "fulltext/directory/footer.h"

namespace fendral {

namespace {

using json_de::De;
template <class T>
using JResult = json_de::Result<T>;

JResult<Version> read_version(De& de) {
  Version v;
  bool has[4] = {};
  static const std::vector<std::string_view> kFields = {"major", "minor", "patch", "index_format_version"};
  auto r = de.record("struct Version", kFields, [&](std::string_view key) -> JResult<bool> {
    uint32_t* slot = nullptr;
    for (size_t i = 0; i < 4; ++i) {
      if (key == kFields[i]) {
        slot = i == 0 ? &v.major : i == 1 ? &v.minor : i == 2 ? &v.patch : &v.index_format_version;
        has[i] = true;
      }
    }
    if (!slot) return false;
    auto n = de.u32();
    if (!n) return std::unexpected(n.error());
    *slot = *n;
    return true;
  });
  if (!r) return std::unexpected(r.error());
  for (size_t i = 0; i < 4; ++i) {
    if (has[i]) continue;
    if (de.seq_len()) {
      return std::unexpected(de.custom(fmt::format("invalid length {}, expected struct Version with 4 elements", i)));
    }
    return std::unexpected(de.missing(kFields[i]));
  }
  return v;
}

}  // namespace

IoResult<Footer> Footer::from_json(std::string_view text) {
  De de(text);
  Footer footer;
  bool has_version = false, has_crc = false;
  auto r = de.record("struct Footer", {"version", "crc"}, [&](std::string_view key) -> JResult<bool> {
    if (key == "version") {
      auto v = read_version(de);
      if (!v) return std::unexpected(v.error());
      footer.version = *v;
      has_version = true;
      return true;
    }
    if (key == "crc") {
      auto c = de.u32();
      if (!c) return std::unexpected(c.error());
      footer.crc = *c;
      has_crc = true;
      return true;
    }
    return false;
  });
  auto check = [&]() -> JResult<void> {
    if (!r) return std::unexpected(r.error());
    if (!has_version || !has_crc) {
      if (de.seq_len()) {
        return std::unexpected(
            de.custom(fmt::format("invalid length {}, expected struct Footer with 2 elements", *de.seq_len())));
      }
      return std::unexpected(de.missing(has_version ? "crc" : "version"));
    }
    return de.finish();
  }();
  if (!check) {
    const auto& e = check.error();
    auto kind = e.message.rfind("EOF", 0) == 0 ? IoErrorKind::UnexpectedEof : IoErrorKind::InvalidData;
    return io_fail(kind, e.to_string());
  }
  return footer;
}

}  // namespace fendral
