#include "fulltext/indexer/segment_serializer.h"

namespace fendral::indexer {

Result<std::unique_ptr<postings::FieldSerializer>> InvertedIndexSerializer::new_field(
    schema::Field field, uint64_t token_count, std::optional<fieldnorm::FieldNormReader> norms) {
  const auto& entry = schema_.get_field_entry(field);
  const auto* indexing = entry.field_type.text_indexing();
  bool text = entry.field_type.tag() == schema::FieldTypeTag::Str ||
              entry.field_type.tag() == schema::FieldTypeTag::JsonObject;
  postings::RecordOption option = text && indexing ? indexing->record : postings::RecordOption::Basic;
  Write& t = terms_.for_field(field);
  Write& p = postings_.for_field(field);
  Write& q = positions_.for_field(field);
  return postings::FieldSerializer::create(token_count, std::move(norms), option, t, p, q);
}

IoResult<void> InvertedIndexSerializer::close() {
  auto r = terms_.close();
  if (r) r = postings_.close();
  if (r) r = positions_.close();
  return r;
}

Result<std::unique_ptr<SegmentSerializer>> SegmentSerializer::open(const index::FendralIndex& index,
                                                                   const index::SegmentMeta& segment) {
  using index::SegmentComponent;
  std::unique_ptr<SegmentSerializer> s(new SegmentSerializer(segment));
  const auto& dir = index.directory();
  // One write of the managed list for the six files instead of one each;
  // a failure reads as the first open_write's would.
  const std::string paths[] = {
      segment.relative_path(SegmentComponent::Store),      segment.relative_path(SegmentComponent::FastFields),
      segment.relative_path(SegmentComponent::FieldNorms), segment.relative_path(SegmentComponent::Terms),
      segment.relative_path(SegmentComponent::Postings),   segment.relative_path(SegmentComponent::Positions)};
  if (auto r = dir.register_managed_paths(paths); !r) return fail(OpenWriteError::io(r.error(), paths[0]));
  auto store_file = dir.open_write(paths[0]);
  if (!store_file) return fail(store_file.error());
  auto store = store::StoreWriter::create(std::move(*store_file), index.settings());
  if (!store) return fail(store.error());
  s->store_ = std::move(*store);
  auto fast = dir.open_write(paths[1]);
  if (!fast) return fail(fast.error());
  s->fast_fields_ = std::move(*fast);
  auto norms = dir.open_write(paths[2]);
  if (!norms) return fail(norms.error());
  s->field_norms_.emplace(std::move(*norms));
  auto terms = dir.open_write(paths[3]);
  if (!terms) return fail(terms.error());
  auto postings = dir.open_write(paths[4]);
  if (!postings) return fail(postings.error());
  auto positions = dir.open_write(paths[5]);
  if (!positions) return fail(positions.error());
  s->inverted_index_ = std::make_unique<InvertedIndexSerializer>(
      CompositeWrite(std::move(*terms)), CompositeWrite(std::move(*postings)), CompositeWrite(std::move(*positions)),
      index.schema());
  return s;
}

std::optional<CompositeWrite> SegmentSerializer::take_field_norms() {
  std::optional<CompositeWrite> out = std::move(field_norms_);
  field_norms_.reset();
  return out;
}

Result<void> SegmentSerializer::close(std::unique_ptr<SegmentSerializer> s) {
  if (s->field_norms_) {
    auto r = s->field_norms_->close();
    s->field_norms_.reset();
    if (!r) return fail(r.error());
  }
  auto f = s->fast_fields_->flush();
  if (f) f = s->fast_fields_->terminate_ref();
  if (!f) return fail(f.error());
  auto i = s->inverted_index_->close();
  if (!i) return fail(i.error());
  return s->store_->finish();
}

}  // namespace fendral::indexer
