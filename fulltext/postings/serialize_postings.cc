#include "fulltext/postings/serialize_postings.h"

#include <algorithm>
#include <string>

namespace fendral::postings {

namespace {
uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

struct Entry {
  schema::Field field;
  TermEntry term;
};
}  // namespace

Result<void> serialize_postings(const IndexingContext& ctx, const schema::Schema& schema,
                                const std::vector<std::unique_ptr<PostingsWriter>>& writers,
                                const fieldnorm::FieldNormReaders& norms, indexer::InvertedIndexSerializer& out) {
  std::vector<std::pair<std::string, uint32_t>> paths(ctx.path_to_unordered_id.begin(),
                                                      ctx.path_to_unordered_id.end());
  std::sort(paths.begin(), paths.end());
  std::vector<uint32_t> ordered_id(paths.size());
  std::vector<std::string> ordered_paths;
  for (size_t rank = 0; rank < paths.size(); ++rank) {
    if (paths[rank].second >= ordered_id.size()) contract_violation("JSON path ids are not dense");
    ordered_id[paths[rank].second] = static_cast<uint32_t>(rank);
    ordered_paths.push_back(paths[rank].first);
  }

  std::vector<Entry> entries;
  entries.reserve(ctx.term_index.len());
  for (auto [key, addr] : ctx.term_index.iter()) {
    if (key.size() < 4) contract_violation("indexing term shorter than its field header");
    schema::Field field = be32(key.data());
    if (field >= schema.num_fields()) contract_violation("indexing term of an unknown field");
    Entry e{field, {}};
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
    entries.push_back(e);
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.field != b.field) return a.field < b.field;
    if (a.term.path != b.term.path) return a.term.path < b.term.path;
    return std::lexicographical_compare(a.term.term.begin(), a.term.term.end(), b.term.term.begin(),
                                        b.term.term.end());
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
