// Indexing throughput: 100,000 short documents (5 to 20 words drawn by a
// Zipf law from a vocabulary of 20,000, no stemming) indexed by Fendral with
// the program's settings (50,000,000-byte budget, up to 3 workers) and one
// commit, against SQLite FTS5 in one transaction (WAL, synchronous=FULL) and
// Xapian with one commit. Each engine starts from an empty directory on disk;
// the median of the runs is printed, with documents per second and the ratio
// (peer time / ours: above 1 means we are faster).
//
//   fulltext_indexing [num_docs] [runs] [seed]
#include <sqlite3.h>
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fulltext/directory/mmap_directory.h"
#include "fulltext/indexer/index_writer.h"

using namespace fendral;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> make_corpus(uint32_t num_docs, uint32_t seed) {
  constexpr uint32_t kVocab = 20000;
  std::mt19937_64 rng(seed);
  std::vector<double> cdf(kVocab);
  double sum = 0;
  for (uint32_t i = 0; i < kVocab; ++i) cdf[i] = (sum += 1.0 / (i + 1));
  std::uniform_real_distribution<double> u(0, sum);
  std::vector<std::string> docs;
  docs.reserve(num_docs);
  for (uint32_t d = 0; d < num_docs; ++d) {
    uint32_t len = 5 + rng() % 16;
    std::string text;
    for (uint32_t k = 0; k < len; ++k) {
      auto t = std::min<size_t>(std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin(), kVocab - 1);
      if (k) text += ' ';
      text += "w" + std::to_string(t);
    }
    docs.push_back(std::move(text));
  }
  return docs;
}

// A fresh directory under the working directory (on disk, not tmpfs).
struct ScratchDir {
  std::filesystem::path path;
  explicit ScratchDir(const std::string& name) : path(std::filesystem::absolute("bench-fulltext-indexing-" + name)) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~ScratchDir() { std::filesystem::remove_all(path); }
};

schema::Schema program_schema() {
  schema::SchemaBuilder b;
  schema::TextOptions text;
  text.indexing = schema::TextFieldIndexing{};
  text.indexing->record = schema::RecordOption::WithFreqsAndPositions;
  text.stored = true;
  b.add_field({"body", schema::FieldType::str(text)});
  schema::NumericOptions id;
  id.indexed = true;
  id.stored = true;
  b.add_field({"id", schema::FieldType::u64(id)});
  return b.build();
}

bool run_fendral(const std::vector<std::string>& docs) {
  ScratchDir dir("fendral");
  auto mmap = MmapDirectory::open(dir.path.string());
  if (!mmap) return false;
  auto managed = ManagedDirectory::wrap(std::make_unique<MmapDirectory>(std::move(*mmap)));
  if (!managed) return false;
  auto index = index::FendralIndex::create(*managed, program_schema(), index::IndexSettings{});
  if (!index) return false;
  auto w = indexer::IndexWriter::create(*index, 50'000'000);
  if (!w) return false;
  for (uint64_t i = 0; i < docs.size(); ++i) {
    schema::CompactDoc d;
    if (!d.add_field_value(0, schema::OwnedValue(docs[i])) || !d.add_field_value(1, schema::OwnedValue(i))) return false;
    if (!(*w)->add_document(std::move(d))) return false;
  }
  auto c = (*w)->commit();
  if (!c) {
    std::fprintf(stderr, "commit failed: %s\n", c.error().display().c_str());
    return false;
  }
  return true;
}

bool run_sqlite(const std::vector<std::string>& docs) {
  ScratchDir dir("sqlite");
  sqlite3* db = nullptr;
  if (sqlite3_open((dir.path / "fts.db").c_str(), &db) != SQLITE_OK) return false;
  bool ok = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "CREATE VIRTUAL TABLE docs USING fts5(body)", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* st = nullptr;
  ok = ok && sqlite3_prepare_v2(db, "INSERT INTO docs(rowid, body) VALUES (?, ?)", -1, &st, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < docs.size(); ++i) {
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(i));
    sqlite3_bind_text(st, 2, docs[i].data(), static_cast<int>(docs[i].size()), SQLITE_STATIC);
    ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

bool run_xapian(const std::vector<std::string>& docs) {
  ScratchDir dir("xapian");
  Xapian::WritableDatabase db((dir.path / "db").string(), Xapian::DB_CREATE_OR_OVERWRITE);
  Xapian::TermGenerator gen;  // no stemmer: terms as written
  for (const auto& text : docs) {
    Xapian::Document d;
    d.set_data(text);
    gen.set_document(d);
    gen.index_text(text);
    db.add_document(d);
  }
  db.commit();
  return true;
}

double median_seconds(int runs, const std::function<bool()>& fn) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    if (!fn()) {
      std::fprintf(stderr, "run failed\n");
      std::exit(1);
    }
    times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t num_docs = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 100000;
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  uint32_t seed = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 11;
  auto docs = make_corpus(num_docs, seed);

  double ours = median_seconds(runs, [&] { return run_fendral(docs); });
  double fts5 = median_seconds(runs, [&] { return run_sqlite(docs); });
  double xapian = median_seconds(runs, [&] { return run_xapian(docs); });

  std::printf("documents: %u, median of %d runs\n", num_docs, runs);
  std::printf("fendral  %8.3f s  %10.0f docs/s\n", ours, num_docs / ours);
  std::printf("fts5     %8.3f s  %10.0f docs/s  ratio %.2fx\n", fts5, num_docs / fts5, fts5 / ours);
  std::printf("xapian   %8.3f s  %10.0f docs/s  ratio %.2fx\n", xapian, num_docs / xapian, xapian / ours);
  return 0;
}
