#include "index/fulltext_index.h"

#include <fmt/format.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "fulltext/directory/mmap_directory.h"
#include "fulltext/directory/ram_directory.h"
#include "fulltext/query/query_parser.h"

namespace zudizid::index {

namespace {

namespace fs = std::filesystem;
using fendral::schema::Field;

fendral::schema::Schema fulltext_schema() {
  fendral::schema::SchemaBuilder b;
  fendral::schema::TextOptions id;
  id.indexing = fendral::schema::TextFieldIndexing{fendral::schema::RecordOption::Basic, true, "raw"};
  id.stored = true;
  b.add_field({"node_id", fendral::schema::FieldType::str(id)});
  fendral::schema::TextOptions content;
  content.indexing =
      fendral::schema::TextFieldIndexing{fendral::schema::RecordOption::WithFreqsAndPositions, true, "default"};
  b.add_field({"content", fendral::schema::FieldType::str(content)});
  return b.build();
}

DbError failed(std::string_view what, const std::string& detail) {
  return DbError::index(fmt::format("{}: {}", what, detail));
}

// Runs an engine call, turning a broken engine contract into an error value.
template <typename F>
auto guarded(std::string_view what, F&& f) -> DbResult<typename std::invoke_result_t<F>::value_type> {
  try {
    auto r = f();
    if (!r) return std::unexpected(failed(what, r.error().display()));
    if constexpr (std::is_void_v<typename std::invoke_result_t<F>::value_type>) {
      return {};
    } else {
      return std::move(*r);
    }
  } catch (const fendral::ContractViolation& e) {
    return std::unexpected(failed(what, e.what()));
  }
}

}  // namespace

DbResult<std::unique_ptr<FullTextIndex>> FullTextIndex::open(const std::optional<fs::path>& dir) {
  fendral::schema::Schema schema = fulltext_schema();
  std::optional<fendral::index::FendralIndex> index;
  if (!dir) {
    auto made = guarded("Failed to open or create index", [&]() -> fendral::Result<fendral::index::FendralIndex> {
      auto managed = fendral::ManagedDirectory::wrap(std::make_unique<fendral::RamDirectory>());
      if (!managed) return fendral::fail(managed.error());
      return fendral::index::FendralIndex::create(*managed, schema, {});
    });
    if (!made) return std::unexpected(std::move(made.error()));
    index = std::move(*made);
  } else {
    std::error_code ec;
    fs::create_directories(*dir, ec);
    if (ec) return std::unexpected(failed("Failed to create index directory", ec.message()));
    if (!fs::is_directory(*dir, ec)) {
      return std::unexpected(failed("Failed to create index directory", std::error_code(ENOTDIR, std::generic_category()).message()));
    }
    auto mmap = fendral::MmapDirectory::open(dir->string());
    if (!mmap) return std::unexpected(failed("Failed to open index directory", mmap.error().display()));
    auto made = guarded("Failed to open or create index", [&]() -> fendral::Result<fendral::index::FendralIndex> {
      auto managed = fendral::ManagedDirectory::wrap(std::make_unique<fendral::MmapDirectory>(std::move(*mmap)));
      if (!managed) return fendral::fail(managed.error());
      if (!fs::exists(*dir / "meta.json")) return fendral::index::FendralIndex::create(*managed, schema, {});
      auto opened = fendral::index::FendralIndex::open(*managed);
      if (!opened) return opened;
      if (!(opened->schema() == schema)) {
        return fendral::fail(fendral::FendralError::schema_error("An index exists but the schema does not match."));
      }
      return opened;
    });
    if (!made) return std::unexpected(std::move(made.error()));
    index = std::move(*made);
  }
  auto reader = guarded("Failed to create reader", [&] { return fendral::core::IndexReader::open(*index); });
  if (!reader) return std::unexpected(std::move(reader.error()));
  const std::size_t workers = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 3);
  auto writer = guarded("Failed to create writer", [&] {
    return fendral::indexer::IndexWriter::create_with_workers(*index, kWriterBudget, workers);
  });
  if (!writer) return std::unexpected(std::move(writer.error()));
  return std::unique_ptr<FullTextIndex>(new FullTextIndex(std::move(*index), std::move(*reader), std::move(*writer)));
}

DbResult<void> FullTextIndex::add(const PropertyValue& value, const Uuid& node_id) {
  if (value.kind() != PropertyValue::Kind::String) return std::unexpected(DbError::index("Full-text index only supports string values"));
  return guarded("Failed to add document", [&]() -> fendral::Result<void> {
    fendral::schema::CompactDoc doc;
    if (auto r = doc.add_field_value(node_id_field_, fendral::schema::OwnedValue(node_id.to_string())); !r) return r;
    if (auto r = doc.add_field_value(content_field_, fendral::schema::OwnedValue(value.as_string())); !r) return r;
    auto added = writer_->add_document(std::move(doc));
    if (!added) return fendral::fail(added.error());
    return {};
  });
}

DbResult<void> FullTextIndex::commit() {
  auto committed = guarded("Failed to commit", [&]() -> fendral::Result<void> {
    auto r = writer_->commit();
    if (!r) return fendral::fail(r.error());
    return {};
  });
  if (!committed) return committed;
  return guarded("Failed to reload reader", [&] { return reader_->reload(); });
}

DbResult<void> FullTextIndex::insert(PropertyValue value, const Uuid& node_id) {
  if (auto r = add(value, node_id); !r) return r;
  return commit();
}

DbResult<void> FullTextIndex::insert_batch(std::vector<std::pair<PropertyValue, Uuid>> entries) {
  // Refused values are found before any document goes in.
  for (const auto& [value, id] : entries) {
    if (value.kind() != PropertyValue::Kind::String) return std::unexpected(DbError::index("Full-text index only supports string values"));
  }
  for (const auto& [value, id] : entries) {
    if (auto r = add(value, id); !r) return r;
  }
  return commit();
}

DbResult<void> FullTextIndex::remove(const PropertyValue&, const Uuid& node_id) {
  auto queued = guarded("Failed to commit", [&]() -> fendral::Result<void> {
    auto r = writer_->delete_term(fendral::schema::Term::from_field_text(node_id_field_, node_id.to_string()));
    if (!r) return fendral::fail(r.error());
    return {};
  });
  if (!queued) return queued;
  return commit();
}

DbResult<void> FullTextIndex::clear() {
  try {
    writer_->delete_all_documents();
  } catch (const fendral::ContractViolation& e) {
    return std::unexpected(failed("Failed to commit", e.what()));
  }
  return commit();
}

std::uint64_t FullTextIndex::len() const { return reader_->searcher()->num_docs(); }

DbResult<std::vector<Uuid>> FullTextIndex::query(const IndexQuery& query) const {
  const auto* text = std::get_if<IndexQuery::FullText>(&query.q);
  if (text == nullptr) return std::unexpected(DbError::index("Full-text index only supports full-text queries"));
  return search(text->text, kMaxHits);
}

DbResult<std::vector<Uuid>> FullTextIndex::search(const std::string& text, std::size_t limit) const {
  std::shared_ptr<const fendral::core::Searcher> searcher = reader_->searcher();
  fendral::query::QueryParser parser(index_.schema(), index_.tokenizers(), {content_field_});
  std::shared_ptr<const fendral::query::Query> parsed;
  try {
    auto q = parser.parse(text);
    if (!q) return std::unexpected(failed("Failed to parse query", q.error().message));
    parsed = std::move(*q);
  } catch (const fendral::ContractViolation& e) {
    return std::unexpected(failed("Failed to parse query", e.what()));
  }
  auto hits = guarded("Search failed", [&] { return searcher->search(*parsed, std::min(limit, kMaxHits)); });
  if (!hits) return std::unexpected(std::move(hits.error()));
  std::vector<Uuid> ids;
  ids.reserve(hits->size());
  for (const auto& hit : *hits) {
    auto doc = guarded("Failed to retrieve document", [&] { return searcher->doc(hit.address); });
    if (!doc) return std::unexpected(std::move(doc.error()));
    auto values = guarded("Failed to retrieve document", [&] { return doc->field_values(); });
    if (!values) return std::unexpected(std::move(values.error()));
    for (const auto& [field, value] : *values) {
      if (field != node_id_field_) continue;
      const auto* s = std::get_if<std::string>(&value.v);
      if (s == nullptr) continue;
      if (auto id = Uuid::parse(*s)) {
        ids.push_back(*id);
        break;
      }
    }
  }
  return ids;
}

}  // namespace zudizid::index
