#include "fulltext/index/index_meta.h"

#include <fmt/format.h>

#include "common/json.h"
#include "common/log.h"
#include "fulltext/common/json_de.h"
#include "fulltext/common/utf8.h"
#include "fulltext/schema/schema_json.h"

namespace fendral::index {

namespace json = zudizid::common::json;
using json_de::De;
template <class T>
using JResult = json_de::Result<T>;

std::string SegmentId::uuid_string() const {
  std::string out;
  out.reserve(32);
  for (uint8_t b : id_.bytes()) out += fmt::format("{:02x}", b);
  return out;
}

std::string DeleteMeta::debug() const {
  return fmt::format("DeleteMeta {{ num_deleted_docs: {}, opstamp: {} }}", num_deleted_docs, opstamp);
}

std::string SegmentMeta::relative_path(SegmentComponent c) const {
  std::string stem = inner_->segment_id.uuid_string();
  switch (c) {
    case SegmentComponent::Postings: return stem + ".idx";
    case SegmentComponent::Positions: return stem + ".pos";
    case SegmentComponent::FastFields: return stem + ".fast";
    case SegmentComponent::FieldNorms: return stem + ".fieldnorm";
    case SegmentComponent::Terms: return stem + ".term";
    case SegmentComponent::Store: return stem + ".store";
    case SegmentComponent::Delete: return stem + fmt::format(".{}.del", delete_opstamp().value_or(0));
  }
  return stem;
}

std::set<std::string> SegmentMeta::list_files() const {
  std::set<std::string> out;
  for (auto c : kAllComponents) out.insert(relative_path(c));
  return out;
}

SegmentMeta SegmentMeta::with_max_doc(uint32_t max_doc) const {
  if (inner_->max_doc != 0) contract_violation("assertion failed: self.max_doc() == 0");
  if (inner_->deletes) contract_violation("assertion failed: self.tracked.deletes.is_none()");
  return inventory_->track(Inner{inner_->segment_id, max_doc, std::nullopt});
}

SegmentMeta SegmentMeta::with_delete_meta(uint32_t num_deleted_docs, uint64_t opstamp) const {
  if (num_deleted_docs > inner_->max_doc) contract_violation("There cannot be more deleted docs than there are docs.");
  return inventory_->track(Inner{inner_->segment_id, inner_->max_doc, DeleteMeta{num_deleted_docs, opstamp}});
}

SegmentMeta SegmentMetaInventory::new_segment_meta(SegmentId id, uint32_t max_doc) {
  return track(SegmentMeta::Inner{id, max_doc, std::nullopt});
}

SegmentMeta SegmentMetaInventory::track(SegmentMeta::Inner inner) {
  auto shared = std::make_shared<const SegmentMeta::Inner>(std::move(inner));
  std::lock_guard lock(mu_);
  std::erase_if(metas_, [](const auto& w) { return w.expired(); });
  metas_.push_back(shared);
  return SegmentMeta(std::move(shared), shared_from_this());
}

std::vector<SegmentMeta> SegmentMetaInventory::all() {
  std::lock_guard lock(mu_);
  std::vector<SegmentMeta> out;
  std::erase_if(metas_, [](const auto& w) { return w.expired(); });
  for (const auto& w : metas_) {
    if (auto s = w.lock()) out.push_back(SegmentMeta(std::move(s), shared_from_this()));
  }
  return out;
}

// ---- writing -----------------------------------------------------------------------

void IndexMeta::serialize(std::string& out, bool pretty) const {
  json::Writer w(out, pretty);
  w.begin_object();
  w.key("index_settings");
  w.begin_object();
  w.key("docstore_compression");
  w.string(index_settings.docstore_compression == Compressor::Lz4 ? "lz4" : "none");
  if (!index_settings.docstore_compress_dedicated_thread) {
    w.key("docstore_compress_dedicated_thread");
    w.boolean(false);
  }
  w.key("docstore_blocksize");
  w.uint64(index_settings.docstore_blocksize);
  w.end_object();
  w.key("segments");
  w.begin_array();
  for (const auto& s : segments) {
    w.begin_object();
    w.key("segment_id");
    w.string(s.id().stored_form());
    w.key("max_doc");
    w.uint64(s.max_doc());
    w.key("deletes");
    if (s.deletes()) {
      w.begin_object();
      w.key("num_deleted_docs");
      w.uint64(s.deletes()->num_deleted_docs);
      w.key("opstamp");
      w.uint64(s.deletes()->opstamp);
      w.end_object();
    } else {
      w.null();
    }
    w.end_object();
  }
  w.end_array();
  w.key("schema");
  schema::write_schema(w, schema);
  w.key("opstamp");
  w.uint64(opstamp);
  if (payload) {
    w.key("payload");
    w.string(*payload);
  }
  w.end_object();
}

std::string meta_json_text(const IndexMeta& meta) {
  std::string out;
  meta.serialize(out, true);
  out.push_back('\n');
  return out;
}

// ---- reading -----------------------------------------------------------------------

namespace {

JResult<IndexSettings> read_settings(De& de) {
  IndexSettings s;
  bool seen_compression = false, seen_thread = false, seen_block = false;
  auto r = de.record("struct IndexSettings", {"docstore_compression", "docstore_compress_dedicated_thread",
                                              "docstore_blocksize"},
                     [&](std::string_view key) -> JResult<bool> {
                       if (key == "docstore_compression") {
                         auto v = de.value();
                         if (!v) return std::unexpected(v.error());
                         if (!v->is_string()) return std::unexpected(de.invalid_type(*v, "variant identifier"));
                         const auto& name = v->as_string();
                         if (name == "none") {
                           s.docstore_compression = Compressor::None;
                         } else if (name == "lz4") {
                           s.docstore_compression = Compressor::Lz4;
                         } else if (name == "zstd") {
                           return std::unexpected(de.custom(
                               "unsupported variant `zstd`, please enable Fendral's `zstd-compression` feature"));
                         } else {
                           return std::unexpected(de.custom(
                               fmt::format("unknown variant `{}`, expected {}", name, json_de::one_of({"none", "lz4"}))));
                         }
                         seen_compression = true;
                         return true;
                       }
                       if (key == "docstore_compress_dedicated_thread") {
                         auto v = de.boolean();
                         if (!v) return std::unexpected(v.error());
                         s.docstore_compress_dedicated_thread = *v;
                         seen_thread = true;
                         return true;
                       }
                       if (key == "docstore_blocksize") {
                         auto v = de.u64();
                         if (!v) return std::unexpected(v.error());
                         s.docstore_blocksize = *v;
                         seen_block = true;
                         return true;
                       }
                       return false;
                     });
  if (!r) return std::unexpected(r.error());
  (void)seen_compression;
  (void)seen_thread;
  (void)seen_block;
  return s;
}

JResult<std::optional<DeleteMeta>> read_deletes(De& de) {
  if (de.next_is_null()) return std::optional<DeleteMeta>();
  DeleteMeta d;
  bool has_num = false, has_opstamp = false;
  auto r = de.record("struct DeleteMeta", {"num_deleted_docs", "opstamp"}, [&](std::string_view key) -> JResult<bool> {
    if (key == "num_deleted_docs") {
      auto v = de.u32();
      if (!v) return std::unexpected(v.error());
      d.num_deleted_docs = *v;
      has_num = true;
      return true;
    }
    if (key == "opstamp") {
      auto v = de.u64();
      if (!v) return std::unexpected(v.error());
      d.opstamp = *v;
      has_opstamp = true;
      return true;
    }
    return false;
  });
  if (!r) return std::unexpected(r.error());
  if (!has_num) return std::unexpected(de.missing("num_deleted_docs"));
  if (!has_opstamp) return std::unexpected(de.missing("opstamp"));
  return std::optional<DeleteMeta>(d);
}

JResult<SegmentMeta::Inner> read_segment(De& de) {
  SegmentMeta::Inner s;
  bool has_id = false, has_max = false;
  auto r = de.record("struct InnerSegmentMeta", {"segment_id", "max_doc", "deletes"},
                     [&](std::string_view key) -> JResult<bool> {
                       if (key == "segment_id") {
                         auto v = de.string();
                         if (!v) return std::unexpected(v.error());
                         auto id = zudizid::common::Uuid::parse(*v);
                         // Braces also around the 32-digit form.
                         if (!id && v->size() == 34 && v->front() == '{' && v->back() == '}') {
                           auto inner = zudizid::common::Uuid::parse(std::string_view(*v).substr(1, 32));
                           if (inner) id = *inner;
                         }
                         if (!id) return std::unexpected(de.custom(id.error()));
                         s.segment_id = SegmentId(*id);
                         has_id = true;
                         return true;
                       }
                       if (key == "max_doc") {
                         auto v = de.u32();
                         if (!v) return std::unexpected(v.error());
                         s.max_doc = *v;
                         has_max = true;
                         return true;
                       }
                       if (key == "deletes") {
                         auto v = read_deletes(de);
                         if (!v) return std::unexpected(v.error());
                         s.deletes = *v;
                         return true;
                       }
                       return false;
                     });
  if (!r) return std::unexpected(r.error());
  if (!has_id) return std::unexpected(de.missing("segment_id"));
  if (!has_max) return std::unexpected(de.missing("max_doc"));
  return s;
}

struct ParsedMeta {
  IndexSettings settings;
  std::vector<SegmentMeta::Inner> segments;
  schema::Schema schema;
  uint64_t opstamp = 0;
  std::optional<std::string> payload;
};

JResult<ParsedMeta> parse_meta(std::string_view text) {
  De de(text);
  ParsedMeta m;
  bool has_segments = false, has_schema = false, has_opstamp = false;
  auto r = de.record("struct UntrackedIndexMeta", {"index_settings", "segments", "schema", "opstamp", "payload"},
                     [&](std::string_view key) -> JResult<bool> {
                       if (key == "index_settings") {
                         auto v = read_settings(de);
                         if (!v) return std::unexpected(v.error());
                         m.settings = *v;
                         return true;
                       }
                       if (key == "segments") {
                         auto r = de.sequence([&]() -> JResult<void> {
                           auto seg = read_segment(de);
                           if (!seg) return std::unexpected(seg.error());
                           m.segments.push_back(std::move(*seg));
                           return {};
                         });
                         if (!r) return std::unexpected(r.error());
                         has_segments = true;
                         return true;
                       }
                       if (key == "schema") {
                         auto v = schema::read_schema(de);
                         if (!v) return std::unexpected(v.error());
                         m.schema = *v;
                         has_schema = true;
                         return true;
                       }
                       if (key == "opstamp") {
                         auto v = de.u64();
                         if (!v) return std::unexpected(v.error());
                         m.opstamp = *v;
                         has_opstamp = true;
                         return true;
                       }
                       if (key == "payload") {
                         if (de.next_is_null()) return true;
                         auto v = de.string();
                         if (!v) return std::unexpected(v.error());
                         m.payload = *v;
                         return true;
                       }
                       return false;
                     });
  if (!r) return std::unexpected(r.error());
  if (de.seq_len()) return std::unexpected(de.custom("invalid type: sequence, expected struct UntrackedIndexMeta"));
  if (!has_segments) return std::unexpected(de.missing("segments"));
  if (!has_schema) return std::unexpected(de.missing("schema"));
  if (!has_opstamp) return std::unexpected(de.missing("opstamp"));
  if (auto f = de.finish(); !f) return std::unexpected(f.error());
  return m;
}

}  // namespace

Result<IndexMeta> load_metas(const Directory& directory, const std::shared_ptr<SegmentMetaInventory>& inventory) {
  auto bytes = directory.atomic_read("meta.json");
  if (!bytes) return fail(FendralError(bytes.error()));
  std::string text(bytes->begin(), bytes->end());
  if (!is_valid_utf8(text)) {
    ZLOG(Error, "fendral::index::index", "Meta data is not valid utf8.");
    return fail(FendralError::data_corruption("meta.json", "Meta file does not contain valid utf8 file."));
  }
  auto parsed = parse_meta(text);
  if (!parsed) {
    return fail(FendralError::data_corruption(
        "meta.json", fmt::format("Meta file cannot be deserialized. {}. Content: {}", json_de::debug(parsed.error()),
                                 debug_quote(text))));
  }
  IndexMeta meta;
  meta.index_settings = parsed->settings;
  for (auto& s : parsed->segments) meta.segments.push_back(inventory->track(std::move(s)));
  meta.schema = parsed->schema;
  meta.opstamp = parsed->opstamp;
  meta.payload = parsed->payload;
  return meta;
}

Result<void> save_metas(const IndexMeta& meta, const Directory& directory) {
  constexpr const char* kTarget = "fendral::indexer::segment_updater";
  ZLOG(Info, kTarget, "save metas");
  std::string text = meta_json_text(meta);
  if (auto r = directory.sync_directory(); !r) return fail(FendralError(r.error()));
  auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (auto r = directory.atomic_write("meta.json", bytes); !r) return fail(FendralError(r.error()));
  if (zudizid::log::enabled(zudizid::log::Level::Debug)) {
    std::string again;
    meta.serialize(again, true);
    ZLOG(Debug, kTarget, "Saved metas Ok({})", debug_quote(again));
  }
  return {};
}

Result<void> save_new_metas(const schema::Schema& schema, const IndexSettings& settings, const Directory& directory) {
  IndexMeta meta;
  meta.index_settings = settings;
  meta.schema = schema;
  if (auto r = save_metas(meta, directory); !r) return r;
  if (auto r = directory.sync_directory(); !r) return fail(FendralError(r.error()));
  return {};
}

Result<void> check_schema(const schema::Schema& stored, const schema::Schema& expected) {
  if (stored == expected) return {};
  return fail(FendralError::schema_error("An index exists but the schema does not match."));
}

}  // namespace fendral::index
