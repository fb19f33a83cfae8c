#include "fulltext/indexer/merger.h"

#include <array>
#include <chrono>
#include <fmt/format.h>
#include <limits>

#include "common/log.h"
#include "fulltext/columnar/merge/merge_columnar.h"
#include "fulltext/fieldnorm/fieldnorm_code.h"
#include "fulltext/fst/stream.h"
#include "fulltext/query/doc_set.h"

namespace fendral::indexer {
namespace {

constexpr const char* kTarget = "fendral::indexer::merger";
constexpr uint64_t kMaxDocLimit = uint64_t{1} << 31;
constexpr uint32_t kDeleted = std::numeric_limits<uint32_t>::max();

// Logs "{name} took {elapsed}" at debug level when it ends.
class Timer {
 public:
  explicit Timer(const char* name) : name_(name), start_(std::chrono::steady_clock::now()) {}
  ~Timer() {
    ZLOG(Debug, kTarget, "{} took {}us", name_,
         std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count());
  }

 private:
  const char* name_;
  std::chrono::steady_clock::time_point start_;
};

bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }

FendralError killed() { return FendralError::system_error("Segment updater killed"); }

FendralError doc_out_of_range(uint32_t doc, uint32_t max_doc) {
  return FendralError::data_corruption(
      std::nullopt, fmt::format("Postings name doc {} in a segment of {} documents", doc, max_doc));
}

std::optional<columnar::ColumnType> column_type_of(schema::FieldTypeTag tag) {
  using T = schema::FieldTypeTag;
  using C = columnar::ColumnType;
  switch (tag) {
    case T::I64: return C::I64;
    case T::U64: return C::U64;
    case T::F64: return C::F64;
    case T::Bytes: return C::Bytes;
    case T::Str:
    case T::Facet: return C::Str;
    case T::Bool: return C::Bool;
    case T::IpAddr: return C::IpAddr;
    case T::Date: return C::DateTime;
    case T::JsonObject: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

Result<IndexMerger> IndexMerger::open(const index::FendralIndex& index, const std::vector<index::SegmentMeta>& segments) {
  std::vector<std::shared_ptr<const index::SegmentReader>> readers;
  uint64_t total = 0;
  for (const auto& meta : segments) {
    if (meta.max_doc() == meta.num_deleted_docs()) continue;
    auto reader = index::SegmentReader::open(index, meta);
    if (!reader) return fail(reader.error());
    total += (*reader)->num_docs();
    readers.push_back(std::move(*reader));
  }
  if (total >= kMaxDocLimit) {
    return fail(FendralError::invalid_argument(fmt::format(
        "The segment resulting from this merge would have {} docs,which exceeds the limit {}.", total, kMaxDocLimit)));
  }
  return IndexMerger(index, std::move(readers), static_cast<uint32_t>(total));
}

IndexMerger::Mapping IndexMerger::doc_id_mapping() const {
  Mapping m;
  m.new_to_old.reserve(max_doc_);
  for (uint32_t ord = 0; ord < readers_.size(); ++ord) {
    const auto& r = *readers_[ord];
    if (r.alive_bitset()) m.has_deletes = true;
    for (uint32_t d = 0; d < r.max_doc(); ++d) {
      if (r.is_alive(d)) m.new_to_old.push_back({ord, d});
    }
  }
  return m;
}

Result<uint32_t> IndexMerger::write(std::unique_ptr<SegmentSerializer> serializer,
                                     const std::atomic<bool>* stop) const {
  Mapping mapping = doc_id_mapping();
  ZLOG(Debug, kTarget, "write-fieldnorms");
  if (auto ok = write_fieldnorms(*serializer, mapping); !ok) return fail(ok.error());
  ZLOG(Debug, kTarget, "write-postings");
  if (auto ok = write_postings(*serializer, mapping, stop); !ok) return fail(ok.error());
  if (stopped(stop)) return fail(killed());
  ZLOG(Debug, kTarget, "write-storagefields");
  if (auto ok = write_storable_fields(*serializer); !ok) return fail(ok.error());
  if (stopped(stop)) return fail(killed());
  ZLOG(Debug, kTarget, "write-fastfields");
  if (auto ok = write_fast_fields(*serializer, mapping); !ok) return fail(ok.error());
  if (stopped(stop)) return fail(killed());
  ZLOG(Debug, kTarget, "close-serializer");
  if (auto ok = SegmentSerializer::close(std::move(serializer)); !ok) return fail(ok.error());
  return max_doc_;
}

Result<void> IndexMerger::write_fieldnorms(SegmentSerializer& serializer, const Mapping& mapping) const {
  auto composite = serializer.take_field_norms();
  if (!composite) return {};
  const auto& schema = index_.schema();
  std::vector<uint8_t> ids(max_doc_);
  for (schema::Field field = 0; field < schema.num_fields(); ++field) {
    if (!schema.get_field_entry(field).has_fieldnorms()) continue;
    std::vector<fieldnorm::FieldNormReader> norms;
    for (const auto& r : readers_) {
      auto n = r->fieldnorm_reader(field);
      if (!n) return fail(n.error());
      if (!n->has_value()) {
        return fail(FendralError::schema_error(
            fmt::format("Field norm not found for field {:?}. Was the field set to record norm during indexing?",
                        schema.get_field_entry(field).name)));
      }
      if ((*n)->num_docs() != r->max_doc()) {
        return fail(FendralError::data_corruption(std::nullopt, "Field norms do not cover the segment's documents"));
      }
      norms.push_back(std::move(**n));
    }
    for (size_t i = 0; i < mapping.new_to_old.size(); ++i) {
      auto [s, d] = mapping.new_to_old[i];
      ids[i] = norms[s].fieldnorm_id(d);
    }
    if (auto ok = composite->for_field(field).write_all(ids); !ok) return fail(ok.error());
  }
  if (auto ok = composite->close(); !ok) return fail(ok.error());
  return {};
}

Result<void> IndexMerger::write_postings(SegmentSerializer& serializer, const Mapping& mapping,
                                         const std::atomic<bool>* stop) const {
  auto slice = index_.directory().open_read(serializer.segment().relative_path(index::SegmentComponent::FieldNorms));
  if (!slice) return fail(slice.error());
  auto norms = fieldnorm::FieldNormReaders::open(*slice);
  if (!norms) return fail(norms.error());
  const auto& schema = index_.schema();
  for (schema::Field field = 0; field < schema.num_fields(); ++field) {
    auto n = norms->get_field(field);
    if (!n) return fail(n.error());
    if (!schema.get_field_entry(field).is_indexed()) continue;
    if (auto ok = write_postings_for_field(field, std::move(*n), serializer, mapping, stop); !ok) return ok;
  }
  return {};
}

Result<uint64_t> IndexMerger::merged_token_count(
    schema::Field field, const std::vector<std::shared_ptr<const index::InvertedIndexReader>>& inv) const {
  uint64_t total = 0;
  for (size_t s = 0; s < readers_.size(); ++s) {
    const auto& r = *readers_[s];
    uint64_t tokens = inv[s]->total_num_tokens();
    if (!r.has_deletes()) {
      total += tokens;
      continue;
    }
    auto norms = r.fieldnorm_reader(field);
    if (!norms) return fail(norms.error());
    if (norms->has_value()) {
      std::array<uint64_t, 256> counts{};
      uint32_t n = std::min(r.max_doc(), (*norms)->num_docs());
      for (uint32_t d = 0; d < n; ++d) {
        if (r.is_alive(d)) ++counts[(*norms)->fieldnorm_id(d)];
      }
      for (int id = 0; id < 256; ++id) total += counts[id] * fieldnorm::length_of_id(static_cast<uint8_t>(id));
    } else if (r.max_doc() > 0) {
      double share = static_cast<double>(r.num_docs()) / static_cast<double>(r.max_doc()) * static_cast<double>(tokens);
      total += share >= 18446744073709551615.0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(share);
    }
  }
  return total;
}

Result<void> IndexMerger::write_postings_for_field(schema::Field field, std::optional<fieldnorm::FieldNormReader> norms,
                                                   SegmentSerializer& serializer, const Mapping& mapping,
                                                   const std::atomic<bool>* stop) const {
  Timer timer("write-postings-for-field");
  std::vector<std::shared_ptr<const index::InvertedIndexReader>> inv;
  for (const auto& r : readers_) {
    auto i = r->inverted_index(field);
    if (!i) return fail(i.error());
    inv.push_back(std::move(*i));
  }
  std::vector<std::unique_ptr<fst::BoxedStream>> streams;
  for (const auto& i : inv) {
    auto s = fst::StreamBuilder<>(&i->terms().fst()).into_stream();
    if (!s) return fail(FendralError::data_corruption(std::nullopt, fmt::format("Fst data is corrupted: {}", s.error().display())));
    streams.push_back(std::move(*s));
  }
  fst::Union terms(std::move(streams));
  if (auto ok = terms.init(); !ok) {
    return fail(FendralError::data_corruption(std::nullopt, fmt::format("Fst data is corrupted: {}", ok.error().display())));
  }

  // Old doc id -> new doc id, per reader.
  std::vector<std::vector<uint32_t>> old_to_new(readers_.size());
  for (size_t s = 0; s < readers_.size(); ++s) old_to_new[s].assign(readers_[s]->max_doc(), kDeleted);
  for (uint32_t n = 0; n < mapping.new_to_old.size(); ++n) {
    auto [s, d] = mapping.new_to_old[n];
    old_to_new[s][d] = n;
  }

  auto tokens = merged_token_count(field, inv);
  if (!tokens) return fail(tokens.error());
  auto fs = serializer.inverted_index().new_field(field, *tokens, std::move(norms));
  if (!fs) return fail(fs.error());

  const auto& entry = index_.schema().get_field_entry(field);
  schema::RecordOption option = schema::RecordOption::Basic;
  auto tag = entry.field_type.tag();
  if (const auto* ti = entry.field_type.text_indexing();
      ti && (tag == schema::FieldTypeTag::Str || tag == schema::FieldTypeTag::JsonObject)) {
    option = ti->record;
  }

  std::vector<std::pair<uint32_t, postings::SegmentPostings>> kept;
  std::vector<uint32_t> positions, deltas;
  positions.reserve(1000);
  deltas.reserve(512);
  for (uint32_t term_count = 0;; ++term_count) {
    if (term_count % 256 == 0 && stopped(stop)) return fail(killed());
    auto item = terms.next();
    if (!item) return fail(FendralError::data_corruption(std::nullopt, fmt::format("Fst data is corrupted: {}", item.error().display())));
    if (!item->has_value()) break;
    auto [key, values] = **item;
    std::vector<fst::StreamValue> pairs = *values;
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    kept.clear();
    uint32_t doc_freq = 0;
    for (const auto& [s, ord] : pairs) {
      const auto& reader = *readers_[s];
      auto info = inv[s]->terms().term_info_from_ord(ord);
      if (!info) return fail(info.error());
      auto open = [&]() { return inv[s]->read_postings(*info, option); };
      auto postings = open();
      if (!postings) return fail(postings.error());
      uint32_t live = postings->doc_freq();
      if (const auto* alive = reader.alive_bitset()) {
        live = 0;
        for (uint32_t d = postings->doc(); d != query::TERMINATED; d = postings->advance()) {
          if (d >= reader.max_doc()) return fail(doc_out_of_range(d, reader.max_doc()));
          if (alive->contains(d)) ++live;
        }
        if (postings->error()) return fail(*postings->error());
        postings = open();
        if (!postings) return fail(postings.error());
      }
      if (live == 0) continue;
      doc_freq += live;
      kept.emplace_back(static_cast<uint32_t>(s), std::move(*postings));
    }
    if (doc_freq == 0) continue;
    bool has_freqs = kept.front().second.block_cursor().freq_mode() != postings::FreqMode::Absent;
    for (auto& [s, p] : kept) {
      if ((p.block_cursor().freq_mode() != postings::FreqMode::Absent) != has_freqs) {
        return fail(FendralError::data_corruption(std::nullopt, "Term freqs are inconsistent across segments"));
      }
    }
    if (auto ok = (*fs)->new_term(key, doc_freq, has_freqs); !ok) return ok;
    for (auto& [s, p] : kept) {
      const auto& table = old_to_new[s];
      for (uint32_t d = p.doc(); d != query::TERMINATED; d = p.advance()) {
        if (d >= table.size()) return fail(doc_out_of_range(d, static_cast<uint32_t>(table.size())));
        uint32_t n = table[d];
        if (n == kDeleted) continue;
        if (!has_freqs) {
          (*fs)->write_doc(n, 0, {});
          continue;
        }
        positions.clear();
        if (auto ok = p.positions(positions); !ok) return ok;
        uint32_t tf = p.term_freq();
        if (!positions.empty() && positions.size() != tf) {
          return fail(FendralError::data_corruption(std::nullopt, "Positions disagree with the term frequency"));
        }
        deltas.clear();
        uint32_t prev = 0;
        for (uint32_t pos : positions) {
          deltas.push_back(pos - prev);
          prev = pos;
        }
        (*fs)->write_doc(n, tf, deltas);
      }
      if (p.error()) return fail(*p.error());
    }
    if (auto ok = (*fs)->close_term(); !ok) return ok;
  }
  return (*fs)->close();
}

Result<void> IndexMerger::write_storable_fields(SegmentSerializer& serializer) const {
  Timer timer("write-storable-fields");
  ZLOG(Debug, kTarget, "write-storable-field");
  auto compressor = static_cast<uint8_t>(index_.settings().docstore_compression);
  for (const auto& r : readers_) {
    auto opened = store::StoreReader::open(r->store_file(), 1);
    if (!opened) return fail(opened.error());
    auto store = std::make_shared<const store::StoreReader>(std::move(*opened));
    if (!r->has_deletes() && store->compressor_id() == compressor) {
      // Whole stores are appended when they have at least 6 blocks.
      auto cursor = store->skip_index().block_checkpoints();
      int blocks = 0;
      while (blocks < 7) {
        auto cp = cursor.next_checkpoint();
        if (!cp) return fail(cp.error());
        if (!cp->has_value()) break;
        ++blocks;
      }
      if (blocks >= 6) {
        if (auto ok = serializer.store().append_store(store); !ok) return ok;
        continue;
      }
    }
    auto docs = store->raw_documents(r->alive_bitset());
    while (auto doc = docs.next()) {
      if (!*doc) return fail(doc->error());
      if (auto ok = serializer.store().store_bytes(std::span<const uint8_t>((*doc)->data(), (*doc)->len())); !ok) {
        return ok;
      }
    }
  }
  return {};
}

Result<void> IndexMerger::write_fast_fields(SegmentSerializer& serializer, const Mapping& mapping) const {
  Timer timer("write-fast-fields");
  const auto& schema = index_.schema();
  std::vector<std::pair<std::string, columnar::ColumnType>> required;
  for (schema::Field field = 0; field < schema.num_fields(); ++field) {
    const auto& entry = schema.get_field_entry(field);
    if (!entry.is_fast()) continue;
    if (auto type = column_type_of(entry.field_type.tag())) required.emplace_back(entry.name, *type);
  }
  std::vector<columnar::ColumnarReader> columnars;
  columnars.reserve(readers_.size());
  for (const auto& r : readers_) {
    auto slice = index_.directory().open_read(r->meta().relative_path(index::SegmentComponent::FastFields));
    if (!slice) return fail(slice.error());
    auto c = columnar::ColumnarReader::open(std::move(*slice));
    if (!c) return fail(c.error());
    if (c->num_rows() != r->max_doc()) {
      return fail(FendralError::data_corruption(std::nullopt, "Fast fields do not cover the segment's documents"));
    }
    columnars.push_back(std::move(*c));
  }
  std::vector<const columnar::ColumnarReader*> inputs;
  for (const auto& c : columnars) inputs.push_back(&c);
  columnar::MergeRowOrder order;
  if (!mapping.has_deletes) {
    std::vector<uint32_t> cumulative;
    uint32_t rows = 0;
    for (const auto& c : columnars) cumulative.push_back(rows += c.num_rows());
    order = columnar::MergeRowOrder::stacked(std::move(cumulative));
  } else {
    std::vector<columnar::RowAddress> new_to_old;
    new_to_old.reserve(mapping.new_to_old.size());
    for (auto [s, d] : mapping.new_to_old) new_to_old.push_back({s, d});
    std::vector<std::optional<ReadOnlyBitSet>> alive;
    for (const auto& r : readers_) {
      alive.push_back(r->alive_bitset() ? std::optional<ReadOnlyBitSet>(*r->alive_bitset()) : std::nullopt);
    }
    order = columnar::MergeRowOrder::shuffled(std::move(new_to_old), std::move(alive));
  }
  if (auto ok = columnar::merge_columnar(inputs, required, order, serializer.fast_fields()); !ok) {
    return fail(ok.error());
  }
  return {};
}

}  // namespace fendral::indexer
