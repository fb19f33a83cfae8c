// Top-10 search: 100,000 Zipf documents, 1,000 queries (500 of one term, 500
// of two terms OR-ed) through the Fendral searcher (BM25, block-WAND),
// against SQLite FTS5 (`ORDER BY rank LIMIT 10`, rank being bm25) and Xapian
// (BM25Weight, get_mset(0, 10)), each on its own index on disk. Prints the
// median query-loop time of the runs and the ratio ours / peer (at most 1.0
// means we are at least as fast).
//
//   fulltext_search [num_docs] [runs] [seed]
#include <sqlite3.h>
#include <unistd.h>
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fulltext/core/index_reader.h"
#include "fulltext/directory/mmap_directory.h"
#include "fulltext/indexer/index_writer.h"
#include "fulltext/query/boolean_query.h"
#include "fulltext/query/term_query.h"

using namespace fendral;
namespace fs = std::filesystem;

namespace {

// Continuous Zipf over ranks [0, n): P(rank < r) = ln(r + 1) / ln(n + 1).
uint32_t zipf_rank(std::mt19937_64& rng, uint32_t n) {
  double u = std::uniform_real_distribution<double>(0, 1)(rng);
  return std::min<uint32_t>(static_cast<uint32_t>(std::exp(u * std::log(n + 1.0))) - 1, n - 1);
}

std::string word(uint32_t rank) { return "t" + std::to_string(rank); }

struct Workload {
  std::vector<std::string> docs;
  std::vector<std::vector<std::string>> queries;  // one or two terms, OR-ed
};

Workload make_workload(uint32_t num_docs, uint32_t seed) {
  std::mt19937_64 rng(seed);
  Workload w;
  for (uint32_t d = 0; d < num_docs; ++d) {
    std::string text;
    for (uint32_t k = 0, len = 4 + static_cast<uint32_t>(rng() % 30); k < len; ++k) {
      text += (k ? " " : "") + word(zipf_rank(rng, 50000));
    }
    w.docs.push_back(std::move(text));
  }
  for (int q = 0; q < 1000; ++q) {
    std::vector<std::string> terms{word(zipf_rank(rng, 5000))};
    if (q % 2 == 1) terms.push_back(word(zipf_rank(rng, 5000)));
    w.queries.push_back(std::move(terms));
  }
  return w;
}

double median_of(int runs, const std::function<size_t()>& loop, size_t& hits) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    hits = loop();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "fulltext_search: %s\n", what.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t num_docs = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 100000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const uint32_t seed = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 7;
  const Workload w = make_workload(num_docs, seed);
  const fs::path root = fs::temp_directory_path() / ("fulltext-search-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "fendral");

  // Fendral: one commit, then the searcher of that commit.
  schema::SchemaBuilder b;
  schema::TextOptions text;
  text.indexing = schema::TextFieldIndexing{};
  text.indexing->record = schema::RecordOption::WithFreqsAndPositions;
  b.add_field({"body", schema::FieldType::str(text)});
  auto mmap = MmapDirectory::open((root / "fendral").string());
  if (!mmap) die("mmap directory");
  auto managed = ManagedDirectory::wrap(std::make_unique<MmapDirectory>(std::move(*mmap)));
  if (!managed) die("managed directory");
  auto index = index::FendralIndex::create(*managed, b.build(), index::IndexSettings{});
  if (!index) die(index.error().display());
  {
    auto writer = indexer::IndexWriter::create(*index, 50'000'000);
    if (!writer) die(writer.error().display());
    for (const auto& t : w.docs) {
      schema::CompactDoc d;
      if (!d.add_field_value(0, schema::OwnedValue(t)) || !(*writer)->add_document(std::move(d))) die("add");
    }
    if (auto c = (*writer)->commit(); !c) die(c.error().display());
  }
  auto reader = core::IndexReader::open(*index);
  if (!reader) die(reader.error().display());
  auto searcher = (*reader)->searcher();
  auto fendral_loop = [&] {
    size_t hits = 0;
    for (const auto& q : w.queries) {
      auto term = [&](const std::string& t) {
        return std::make_shared<query::TermQuery>(schema::Term::from_field_text(0, t), schema::RecordOption::WithFreqs);
      };
      Result<std::vector<core::ScoredDoc>> top;
      if (q.size() == 1) {
        top = searcher->search(*term(q[0]), 10);
      } else {
        query::BooleanQuery both({{query::Occur::Should, term(q[0])}, {query::Occur::Should, term(q[1])}});
        top = searcher->search(both, 10);
      }
      if (!top) die(top.error().display());
      hits += top->size();
    }
    return hits;
  };

  // FTS5 in one transaction.
  sqlite3* db = nullptr;
  if (sqlite3_open((root / "fts.db").c_str(), &db) != SQLITE_OK) die("sqlite open");
  if (sqlite3_exec(db, "CREATE VIRTUAL TABLE docs USING fts5(body); BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    die(sqlite3_errmsg(db));
  }
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO docs(body) VALUES (?)", -1, &ins, nullptr);
  for (const auto& t : w.docs) {
    sqlite3_bind_text(ins, 1, t.data(), static_cast<int>(t.size()), SQLITE_STATIC);
    if (sqlite3_step(ins) != SQLITE_DONE) die(sqlite3_errmsg(db));
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_stmt* sel = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT rowid FROM docs WHERE docs MATCH ?1 ORDER BY rank LIMIT 10", -1, &sel, nullptr) !=
      SQLITE_OK) {
    die(sqlite3_errmsg(db));
  }
  auto fts5_loop = [&] {
    size_t hits = 0;
    for (const auto& q : w.queries) {
      std::string match = q.size() == 1 ? q[0] : q[0] + " OR " + q[1];
      sqlite3_bind_text(sel, 1, match.data(), static_cast<int>(match.size()), SQLITE_TRANSIENT);
      while (sqlite3_step(sel) == SQLITE_ROW) ++hits;
      sqlite3_reset(sel);
    }
    return hits;
  };

  // Xapian: terms as written, one commit.
  Xapian::WritableDatabase xdb((root / "xapian").string(), Xapian::DB_CREATE_OR_OVERWRITE);
  Xapian::TermGenerator gen;
  for (const auto& t : w.docs) {
    Xapian::Document d;
    gen.set_document(d);
    gen.index_text(t);
    xdb.add_document(d);
  }
  xdb.commit();
  Xapian::Enquire enquire(xdb);
  enquire.set_weighting_scheme(Xapian::BM25Weight());
  auto xapian_loop = [&] {
    size_t hits = 0;
    for (const auto& q : w.queries) {
      Xapian::Query query = q.size() == 1 ? Xapian::Query(q[0])
                                          : Xapian::Query(Xapian::Query::OP_OR, Xapian::Query(q[0]), Xapian::Query(q[1]));
      enquire.set_query(query);
      hits += enquire.get_mset(0, 10).size();
    }
    return hits;
  };

  size_t ours_hits = 0, fts5_hits = 0, xapian_hits = 0;
  const double ours = median_of(runs, fendral_loop, ours_hits);
  const double fts5 = median_of(runs, fts5_loop, fts5_hits);
  const double xapian = median_of(runs, xapian_loop, xapian_hits);
  sqlite3_finalize(sel);
  sqlite3_close(db);
  fs::remove_all(root);

  std::printf("documents: %u, 1000 top-10 queries (500 one term, 500 two terms OR), median of %d runs\n", num_docs,
              runs);
  std::printf("fendral  %8.4f s  %7zu hits\n", ours, ours_hits);
  std::printf("fts5     %8.4f s  %7zu hits  ours/fts5   %.3fx\n", fts5, fts5_hits, ours / fts5);
  std::printf("xapian   %8.4f s  %7zu hits  ours/xapian %.3fx\n", xapian, xapian_hits, ours / xapian);
  return 0;
}
