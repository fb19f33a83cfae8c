#include "fulltext/termdict/term_info_store.h"

#include <cstring>
#include <string>

#include "fulltext/bitpacker/bitpacker.h"

namespace fendral::termdict {

namespace {

void put_u64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t get_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
uint32_t get_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint32_t checked_u32_len(uint64_t len) {
  if (len > 0xFFFFFFFFull) contract_violation("assertion failed: num_bytes <= u32::MAX as usize");
  return static_cast<uint32_t>(len);
}

FendralError corrupt(std::string what) { return FendralError::data_corruption(std::nullopt, std::move(what)); }

}  // namespace

void TermInfoStoreWriter::write_term_info(const TermInfo& info) {
  pending_.push_back(info);
  ++num_terms_;
  if (pending_.size() == kTermInfoBlockLen) flush_block();
}

void TermInfoStoreWriter::flush_block() {
  if (pending_.empty()) contract_violation("term info block flushed without terms");
  const TermInfo& first = pending_.front();
  const TermInfo& last = pending_.back();
  uint32_t max_doc_freq = 0;
  for (size_t k = 1; k < pending_.size(); ++k) max_doc_freq = std::max(max_doc_freq, pending_[k].doc_freq);
  uint8_t doc_freq_bits = bitpacker::bits_needed(max_doc_freq);
  uint8_t postings_bits = bitpacker::bits_needed(last.postings_range.end - first.postings_range.start);
  uint8_t positions_bits = bitpacker::bits_needed(last.positions_range.end - first.positions_range.start);

  put_u64(metas_, entries_.size());
  put_u32(metas_, first.doc_freq);
  put_u64(metas_, first.postings_range.start);
  put_u32(metas_, checked_u32_len(first.postings_range.len()));
  put_u64(metas_, first.positions_range.start);
  put_u32(metas_, checked_u32_len(first.positions_range.len()));
  metas_.push_back(doc_freq_bits);
  metas_.push_back(postings_bits);
  metas_.push_back(positions_bits);

  bitpacker::BitPacker packer;
  for (size_t k = 1; k < pending_.size(); ++k) {
    packer.write(pending_[k].postings_range.start - first.postings_range.start, postings_bits, entries_);
    packer.write(pending_[k].positions_range.start - first.positions_range.start, positions_bits, entries_);
    packer.write(pending_[k].doc_freq, doc_freq_bits, entries_);
  }
  packer.write(last.postings_range.end - first.postings_range.start, postings_bits, entries_);
  packer.write(last.positions_range.end - first.positions_range.start, positions_bits, entries_);
  packer.close(entries_);
  pending_.clear();
}

IoResult<uint64_t> TermInfoStoreWriter::serialize(Write& out) {
  if (!pending_.empty()) flush_block();
  std::vector<uint8_t> header;
  put_u64(header, metas_.size());
  put_u64(header, num_terms_);
  for (auto* part : {&header, &metas_, &entries_}) {
    auto w = out.write_all(std::span<const uint8_t>(*part));
    if (!w) return std::unexpected(w.error());
  }
  return 16 + metas_.size() + entries_.size();
}

Result<TermInfoStore> TermInfoStore::open(const OwnedBytes& bytes) {
  if (bytes.len() < 16) return fail(IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
  uint64_t metas_len = get_u64(bytes.data());
  uint64_t num_terms = get_u64(bytes.data() + 8);
  uint64_t rest = bytes.len() - 16;
  if (metas_len > rest) return fail(corrupt("term info store: block metas run past the store"));
  // Every block of 256 terms needs its meta; a count the metas cannot cover
  // is refused here so that lookups stay within them.
  uint64_t blocks = num_terms / kTermInfoBlockLen + (num_terms % kTermInfoBlockLen != 0);
  if (blocks > metas_len / kBlockMetaLen) return fail(corrupt("term info store: more terms than block metas"));
  TermInfoStore store;
  store.num_terms_ = num_terms;
  store.metas_ = bytes.sub_range(16, 16 + metas_len);
  store.entries_ = bytes.sub_range(16 + metas_len, bytes.len());
  return store;
}

Result<TermInfo> TermInfoStore::get(uint64_t ord) const {
  if (ord >= num_terms_) return fail(corrupt("term ordinal " + std::to_string(ord) + " past the term info store"));
  uint64_t block = ord / kTermInfoBlockLen;
  uint64_t k = ord % kTermInfoBlockLen;
  if (metas_.len() < kBlockMetaLen || block > (metas_.len() - kBlockMetaLen) / kBlockMetaLen) {
    return fail(corrupt("Failed to deserialize terminfoblockmeta: block meta past the end"));
  }
  const uint8_t* m = metas_.data() + block * kBlockMetaLen;
  uint64_t offset = get_u64(m);
  TermInfo ref;
  ref.doc_freq = get_u32(m + 8);
  ref.postings_range.start = get_u64(m + 12);
  ref.postings_range.end = ref.postings_range.start + get_u32(m + 20);
  ref.positions_range.start = get_u64(m + 24);
  ref.positions_range.end = ref.positions_range.start + get_u32(m + 32);
  uint8_t doc_freq_bits = m[36], postings_bits = m[37], positions_bits = m[38];
  if (k == 0) return ref;
  if (doc_freq_bits > 56 || postings_bits > 56 || positions_bits > 56) {
    return fail(corrupt("term info block meta: bit width above 56"));
  }
  if (offset > entries_.len()) return fail(corrupt("term info block meta: entries offset past the store"));
  std::span<const uint8_t> data = entries_.as_bytes().subspan(offset);
  // Reads bit runs at arbitrary bit addresses; bytes past the data read as 0.
  auto read_bits = [&](uint64_t bit, uint8_t width) -> uint64_t {
    if (width == 0) return 0;
    uint64_t byte = bit / 8;
    uint64_t word = 0;
    if (byte < data.size()) std::memcpy(&word, data.data() + byte, std::min<uint64_t>(8, data.size() - byte));
    return (word >> (bit % 8)) & ((uint64_t{1} << width) - 1);
  };
  uint64_t entry = uint64_t{postings_bits} + positions_bits + doc_freq_bits;
  uint64_t at = (k - 1) * entry, next = k * entry;
  TermInfo info;
  info.postings_range.start = ref.postings_range.start + read_bits(at, postings_bits);
  info.postings_range.end = ref.postings_range.start + read_bits(next, postings_bits);
  info.positions_range.start = ref.positions_range.start + read_bits(at + postings_bits, positions_bits);
  info.positions_range.end = ref.positions_range.start + read_bits(next + postings_bits, positions_bits);
  info.doc_freq = static_cast<uint32_t>(read_bits(at + postings_bits + positions_bits, doc_freq_bits));
  return info;
}

}  // namespace fendral::termdict
