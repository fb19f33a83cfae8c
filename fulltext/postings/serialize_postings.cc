#include "fulltext/postings/serialize_postings.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace fendral::postings {

namespace {
uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

struct Entry {
  schema::Field field;
  TermEntry term;
  uint64_t prefix;  // the term's first 8 bytes, big-endian, zero-padded: orders most pairs at once
};

uint64_t prefix_of(std::span<const uint8_t> term) {
  uint64_t p = 0;
  for (size_t i = 0; i < 8; ++i) p = p << 8 | (i < term.size() ? term[i] : 0);
  return p;
}
}  // namespace

Result<void> serialize_postings(const IndexingContext& ctx, const schema::Schema& schema,
                                const std::vector<std::unique_ptr<PostingsWriter>>& writers,
                                const fieldnorm::FieldNormReaders& norms, indexer::InvertedIndexSerializer& out) {
  auto [ordered_paths, ordered_id] = ctx.path_to_unordered_id.ordered();

  std::vector<Entry> entries;
  entries.reserve(ctx.term_index.len());
  for (auto [key, addr] : ctx.term_index.iter()) {
    if (key.size() < 4) contract_violation("indexing term shorter than its field header");
    schema::Field field = be32(key.data());
    if (field >= schema.num_fields()) contract_violation("indexing term of an unknown field");
    Entry e{field, {}, 0};
    e.term.recorder = addr;
    if (schema.get_field_entry(field).field_type.tag() == schema::FieldTypeTag::JsonObject) {
      if (key.size() < 8) contract_violation("JSON indexing term shorter than its path header");
      uint32_t unordered = be32(key.data() + 4);
      if (unordered >= ordered_id.size()) contract_violation("JSON indexing term with an unknown path");
      e.term.path = ordered_id[unordered];
      e.term.term = key.subspan(8);
    } else {
      e.term.term = key.subspan(4);
    }
    e.prefix = prefix_of(e.term.term);
    entries.push_back(e);
  }
  // (field, path, term bytes); bytes compare unsigned, a prefix first.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.field != b.field) return a.field < b.field;
    if (a.term.path != b.term.path) return a.term.path < b.term.path;
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const size_t common = std::min(a.term.term.size(), b.term.term.size());
    if (common > 0) {
      if (int c = std::memcmp(a.term.term.data(), b.term.term.data(), common); c != 0) return c < 0;
    }
    return a.term.term.size() < b.term.term.size();
  });

  std::vector<TermEntry> run;
  for (size_t i = 0; i < entries.size();) {
    schema::Field field = entries[i].field;
    run.clear();
    for (; i < entries.size() && entries[i].field == field; ++i) run.push_back(entries[i].term);
    if (field >= writers.size() || !writers[field]) contract_violation("terms recorded for a field without writer");
    auto field_norms = norms.get_field(field);
    if (!field_norms) return fail(field_norms.error());
    auto fs = out.new_field(field, writers[field]->total_num_tokens(), std::move(*field_norms));
    if (!fs) return fail(fs.error());
    auto r = writers[field]->serialize(run, ordered_paths, ctx, **fs);
    if (!r) return r;
    r = (*fs)->close();
    if (!r) return r;
  }
  return {};
}

}  // namespace fendral::postings
