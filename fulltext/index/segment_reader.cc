#include "fulltext/index/segment_reader.h"

#include <fmt/format.h>

#include "common/log.h"

namespace fendral::index {
namespace {

Result<CompositeFile> open_composite(const FendralIndex& index, const SegmentMeta& meta, SegmentComponent c) {
  auto slice = index.directory().open_read(meta.relative_path(c));
  if (!slice) return fail(slice.error());
  auto file = CompositeFile::open(*slice);
  if (!file) return fail(file.error());
  return std::move(*file);
}

}  // namespace

Result<ReadOnlyBitSet> read_alive_bitset(OwnedBytes bytes, uint32_t max_doc) {
  auto set = ReadOnlyBitSet::open(std::move(bytes));
  if (!set) return fail(set.error());
  if (set->id_bound() != max_doc) {
    return fail(FendralError::data_corruption(
        std::nullopt, fmt::format("Delete bit set of bound {} for a segment of {} documents", set->id_bound(), max_doc)));
  }
  return std::move(*set);
}

Result<std::shared_ptr<const SegmentReader>> SegmentReader::open(const FendralIndex& index, const SegmentMeta& meta,
                                                                 std::optional<ReadOnlyBitSet> alive) {
  auto norm_slice = index.directory().open_read(meta.relative_path(SegmentComponent::FieldNorms));
  if (!norm_slice) return fail(norm_slice.error());
  auto norms = fieldnorm::FieldNormReaders::open(*norm_slice);
  if (!norms) return fail(norms.error());
  std::shared_ptr<SegmentReader> r(new SegmentReader(meta, index.schema(), std::move(*norms)));
  for (auto [c, dst] : {std::pair{SegmentComponent::Terms, &r->terms_}, std::pair{SegmentComponent::Postings, &r->postings_},
                        std::pair{SegmentComponent::Positions, &r->positions_}}) {
    auto f = open_composite(index, meta, c);
    if (!f) return fail(f.error());
    *dst = std::move(*f);
  }
  auto store = index.directory().open_read(meta.relative_path(SegmentComponent::Store));
  if (!store) return fail(store.error());
  r->store_file_ = std::move(*store);
  // Only range queries read the fast fields: their failure waits for them.
  if (auto fast = index.directory().open_read(meta.relative_path(SegmentComponent::FastFields))) {
    r->fast_file_ = std::move(*fast);
  } else {
    r->fast_error_ = FendralError(fast.error());
  }
  if (alive) {
    if (alive->id_bound() != meta.max_doc()) {
      return fail(FendralError::data_corruption(std::nullopt, "Alive bit set bound differs from max_doc"));
    }
    r->alive_ = std::move(alive);
  } else if (meta.has_deletes()) {
    auto del = index.directory().open_read(meta.relative_path(SegmentComponent::Delete));
    if (!del) return fail(del.error());
    auto bytes = del->read_all();
    if (!bytes) return fail(bytes.error());
    auto set = read_alive_bitset(std::move(*bytes), meta.max_doc());
    if (!set) return fail(set.error());
    r->alive_ = std::move(*set);
  }
  if (r->alive_ && r->alive_->len() != meta.max_doc() - meta.num_deleted_docs() && !alive) {
    return fail(FendralError::data_corruption(std::nullopt, "Delete file disagrees with the segment's delete count"));
  }
  return std::shared_ptr<const SegmentReader>(std::move(r));
}

Result<std::shared_ptr<const fastfield::FastFieldReaders>> SegmentReader::fast_fields() const {
  std::lock_guard lock(cache_mu_);
  if (fast_) return fast_;
  if (!fast_file_) return fail(*fast_error_);
  auto readers = fastfield::FastFieldReaders::open(*fast_file_, schema_, max_doc());
  if (!readers) return fail(readers.error());
  fast_ = *readers;
  return fast_;
}

Result<std::shared_ptr<const InvertedIndexReader>> SegmentReader::inverted_index(schema::Field field) const {
  {
    std::lock_guard lock(cache_mu_);
    if (auto it = cache_.find(field); it != cache_.end()) return it->second;
  }
  const auto& entry = schema_.get_field_entry(field);
  schema::RecordOption option = schema::RecordOption::Basic;
  if (const auto* ti = entry.field_type.text_indexing()) option = ti->record;
  if (!entry.is_indexed()) {
    ZLOG(Warn, "fendral::index::segment_reader", "Field {} does not seem indexed.", entry.name);
    return InvertedIndexReader::empty(option);
  }
  auto terms = terms_.open_read(field);
  auto postings = postings_.open_read(field);
  auto positions = positions_.open_read(field);
  // A field without any term in this segment has no sections at all.
  if (!terms && !postings && !positions) {
    auto empty = InvertedIndexReader::empty(option);
    std::lock_guard lock(cache_mu_);
    return cache_.emplace(field, empty).first->second;
  }
  if (!terms) {
    return fail(FendralError::data_corruption(
        std::nullopt,
        fmt::format("Failed to open field {:?}'s term dictionary in the composite file. Has the schema been modified?",
                    entry.name)));
  }
  if (!positions) {
    return fail(FendralError::data_corruption(
        std::nullopt,
        fmt::format("Failed to open field {:?}'s positions in the composite file. Has the schema been modified?",
                    entry.name)));
  }
  auto reader = InvertedIndexReader::open(*terms, postings ? *postings : FileSlice(), *positions, option);
  if (!reader) return fail(reader.error());
  std::lock_guard lock(cache_mu_);
  return cache_.emplace(field, *reader).first->second;
}

}  // namespace fendral::index
