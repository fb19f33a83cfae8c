// Builds one field's sections in memory through FieldSerializer and opens
// postings over them, for the postings, dictionary and corruption tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/postings/field_serializer.h"
#include "fulltext/postings/segment_postings.h"
#include "fulltext/termdict/term_dictionary.h"

namespace fendral::testing {

// doc -> positions (the term frequency is their count, or `tf` without).
struct Posting {
  uint32_t doc;
  uint32_t tf;
  std::vector<uint32_t> positions;
};
using TermPostings = std::map<std::string, std::vector<Posting>>;

struct FieldBytes {
  std::vector<uint8_t> terms, postings, positions;
};

inline FieldBytes write_field(const TermPostings& terms, postings::RecordOption option,
                              std::optional<fieldnorm::FieldNormReader> norms = std::nullopt,
                              bool wants_freqs = true, uint64_t token_count = 0) {
  FieldBytes out;
  VecWriter t(&out.terms), p(&out.postings), q(&out.positions);
  auto fs = postings::FieldSerializer::create(token_count, std::move(norms), option, t, p, q);
  if (!fs) throw std::runtime_error(fs.error().display());
  for (const auto& [key, docs] : terms) {
    auto k = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    if (!(*fs)->new_term(k, static_cast<uint32_t>(docs.size()), wants_freqs)) throw std::runtime_error("new_term");
    for (const auto& d : docs) {
      std::vector<uint32_t> deltas;
      uint32_t prev = 0;
      for (uint32_t pos : d.positions) {
        deltas.push_back(pos - prev);
        prev = pos;
      }
      (*fs)->write_doc(d.doc, d.positions.empty() ? d.tf : static_cast<uint32_t>(d.positions.size()), deltas);
    }
    if (!(*fs)->close_term()) throw std::runtime_error("close_term");
  }
  if (!(*fs)->close()) throw std::runtime_error("close");
  return out;
}

inline std::vector<uint8_t> slice(const std::vector<uint8_t>& v, uint64_t from, uint64_t to) {
  return std::vector<uint8_t>(v.begin() + from, v.begin() + to);
}

}  // namespace fendral::testing
