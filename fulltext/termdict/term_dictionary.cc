#include "fulltext/termdict/term_dictionary.h"

#include <cstring>
#include <string>

namespace fendral::termdict {

Result<TermDictionaryBuilder> TermDictionaryBuilder::create(Write* out) {
  auto b = fst::Builder::create(out);
  if (!b) return fail(IoError(IoErrorKind::Other, b.error().display()));
  return TermDictionaryBuilder(out, std::move(*b));
}

std::expected<void, fst::Error> TermDictionaryBuilder::insert_key(std::span<const uint8_t> key) {
  auto r = fst_.insert(key, next_ord_);
  if (r) ++next_ord_;
  return r;
}

IoResult<void> TermDictionaryBuilder::finish() {
  auto f = fst_.finish();
  if (!f) {
    if (f.error().io) return std::unexpected(*f.error().io);
    return io_fail(IoErrorKind::Other, f.error().display());
  }
  auto len = store_.serialize(*out_);
  if (!len) return std::unexpected(len.error());
  uint8_t trailer[12];
  uint64_t s = *len;
  uint32_t v = kTermDictVersion;
  std::memcpy(trailer, &s, 8);
  std::memcpy(trailer + 8, &v, 4);
  return out_->write_all(std::span<const uint8_t>(trailer, 12));
}

Result<TermDictionary> TermDictionary::open(const FileSlice& section) {
  if (section.len() < 12) return fail(IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
  auto trailer = section.read_range(section.len() - 12, section.len());
  if (!trailer) return fail(trailer.error());
  uint64_t store_len;
  uint32_t version;
  std::memcpy(&store_len, trailer->data(), 8);
  std::memcpy(&version, trailer->data() + 8, 4);
  if (version != kTermDictVersion) {
    return fail(IoError(IoErrorKind::InvalidData, "Unsupported fst version, expected " +
                                                      std::to_string(kTermDictVersion) + ", found " +
                                                      std::to_string(version)));
  }
  uint64_t body = section.len() - 12;
  if (store_len > body) {
    return fail(FendralError::data_corruption(std::nullopt, "term dictionary: term info store longer than the section"));
  }
  auto fst_bytes = section.read_range(0, body - store_len);
  if (!fst_bytes) return fail(fst_bytes.error());
  auto f = fst::Fst::open(std::move(*fst_bytes));
  if (!f) return fail(IoError(IoErrorKind::InvalidData, "Fst data is corrupted: " + f.error().display()));
  auto store_bytes = section.read_range(body - store_len, body);
  if (!store_bytes) return fail(store_bytes.error());
  auto store = TermInfoStore::open(*store_bytes);
  if (!store) return fail(store.error());
  return TermDictionary(std::move(*f), std::move(*store));
}

const TermDictionary& TermDictionary::empty() {
  static const TermDictionary dict = [] {
    std::vector<uint8_t> bytes;
    VecWriter w(&bytes);
    auto b = TermDictionaryBuilder::create(&w);
    if (!b || !b->finish()) contract_violation("building the empty term dictionary failed");
    auto d = open(FileSlice(OwnedBytes::from_vector(std::move(bytes))));
    if (!d) contract_violation("opening the empty term dictionary failed");
    return std::move(*d);
  }();
  return dict;
}

Result<std::optional<uint64_t>> TermDictionary::term_ord(std::span<const uint8_t> key) const {
  auto r = fst_.get(key);
  if (!r) return fail(FendralError::data_corruption(std::nullopt, "Fst data is corrupted: " + r.error().display()));
  return *r;
}

Result<std::optional<TermInfo>> TermDictionary::get(std::span<const uint8_t> key) const {
  auto ord = term_ord(key);
  if (!ord) return fail(ord.error());
  if (!*ord) return std::optional<TermInfo>();
  auto info = store_.get(**ord);
  if (!info) return fail(info.error());
  return std::optional<TermInfo>(*info);
}

}  // namespace fendral::termdict
