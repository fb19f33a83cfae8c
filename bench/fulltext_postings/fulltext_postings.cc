// Fendral's postings decoding and stored-document fetches against Xapian's
// posting-list iteration and SQLite's rowid lookups, on one corpus of
// 100,000 documents whose terms follow a Zipf law. Prints the absolute
// figures and the ratios (peer time / ours: above 1 means we are faster).
//
//   fulltext_postings [num_docs] [seed]
#include <sqlite3.h>
#include <unistd.h>
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fulltext/index/inverted_index_reader.h"
#include "fulltext/postings/field_serializer.h"
#include "fulltext/store/store_reader.h"
#include "fulltext/store/store_writer.h"

using namespace fendral;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Corpus {
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> docs;  // (term id, tf) per doc
  std::vector<std::string> texts;                                // stored form
  uint32_t vocab = 0;
};

Corpus make_corpus(uint32_t num_docs, uint32_t seed) {
  Corpus c;
  c.vocab = 50000;
  std::mt19937_64 rng(seed);
  std::vector<double> cdf(c.vocab);
  double sum = 0;
  for (uint32_t i = 0; i < c.vocab; ++i) cdf[i] = (sum += 1.0 / (i + 1));
  std::uniform_real_distribution<double> u(0, sum);
  for (uint32_t d = 0; d < num_docs; ++d) {
    uint32_t len = 10 + rng() % 90;
    std::map<uint32_t, uint32_t> tf;
    std::string text;
    for (uint32_t k = 0; k < len; ++k) {
      uint32_t t = static_cast<uint32_t>(std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin());
      t = std::min(t, c.vocab - 1);
      ++tf[t];
      text += "w" + std::to_string(t) + " ";
    }
    c.docs.emplace_back(tf.begin(), tf.end());
    c.texts.push_back(std::move(text));
  }
  return c;
}

std::string term_name(uint32_t t) { return "w" + std::to_string(t); }

}  // namespace

int main(int argc, char** argv) {
  uint32_t num_docs = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 100000;
  uint32_t seed = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 7;
  Corpus corpus = make_corpus(num_docs, seed);

  // Inverted lists by term id, and the 1,000 most frequent terms.
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> lists(corpus.vocab);
  for (uint32_t d = 0; d < num_docs; ++d)
    for (auto [t, tf] : corpus.docs[d]) lists[t].push_back({d, tf});
  std::vector<uint32_t> by_freq(corpus.vocab);
  for (uint32_t i = 0; i < corpus.vocab; ++i) by_freq[i] = i;
  std::sort(by_freq.begin(), by_freq.end(), [&](uint32_t a, uint32_t b) { return lists[a].size() > lists[b].size(); });
  std::vector<uint32_t> top(by_freq.begin(), by_freq.begin() + std::min<uint32_t>(1000, corpus.vocab));
  uint64_t top_postings = 0;
  for (uint32_t t : top) top_postings += lists[t].size();

  // ---- ours: one field written with frequencies -------------------------
  std::vector<uint8_t> terms_bytes, postings_bytes, positions_bytes;
  {
    VecWriter tw(&terms_bytes), pw(&postings_bytes), qw(&positions_bytes);
    auto fs = postings::FieldSerializer::create(0, std::nullopt, schema::RecordOption::WithFreqs, tw, pw, qw);
    std::vector<std::pair<std::string, uint32_t>> sorted;
    for (uint32_t t = 0; t < corpus.vocab; ++t)
      if (!lists[t].empty()) sorted.push_back({term_name(t), t});
    std::sort(sorted.begin(), sorted.end());
    for (const auto& [name, t] : sorted) {
      (void)(*fs)->new_term(std::span((const uint8_t*)name.data(), name.size()), lists[t].size(), true);
      for (auto [d, tf] : lists[t]) (*fs)->write_doc(d, tf, {});
      (void)(*fs)->close_term();
    }
    if (!(*fs)->close()) return 1;
  }
  auto reader = index::InvertedIndexReader::open(FileSlice(OwnedBytes::from_vector(terms_bytes)),
                                                 FileSlice(OwnedBytes::from_vector(postings_bytes)),
                                                 FileSlice(OwnedBytes::from_vector(positions_bytes)),
                                                 schema::RecordOption::WithFreqs);
  if (!reader) return 1;
  std::vector<termdict::TermInfo> infos;
  for (uint32_t t : top) {
    auto name = term_name(t);
    infos.push_back(**(*reader)->terms().get(std::span((const uint8_t*)name.data(), name.size())));
  }

  auto best_of = [](int runs, auto&& fn) {
    double best = 1e100;
    for (int i = 0; i < runs; ++i) {
      auto t0 = Clock::now();
      fn();
      best = std::min(best, seconds_since(t0));
    }
    return best;
  };

  uint64_t ours_sum = 0;
  double ours_decode = best_of(5, [&] {
    ours_sum = 0;
    for (const auto& info : infos) {
      auto p = (*reader)->read_postings(info, schema::RecordOption::WithFreqs);
      for (uint32_t d = p->doc(); d != postings::TERMINATED; d = p->advance()) ours_sum += d + 1 + p->term_freq();
    }
  });

  // ---- Xapian -----------------------------------------------------------
  char tmpl[] = "/tmp/fulltext_postings_XXXXXX";
  std::filesystem::path dir = mkdtemp(tmpl);
  uint64_t xapian_sum = 0;
  double xapian_decode = 0;
  {
    auto t0 = Clock::now();
    Xapian::WritableDatabase db((dir / "xapian").string(), Xapian::DB_CREATE_OR_OVERWRITE);
    for (uint32_t d = 0; d < num_docs; ++d) {
      Xapian::Document doc;
      for (auto [t, tf] : corpus.docs[d]) doc.add_term(term_name(t), tf);
      db.add_document(doc);
    }
    db.commit();
    db.close();
    std::printf("xapian index build: %.2f s\n", seconds_since(t0));
    Xapian::Database rdb((dir / "xapian").string());
    xapian_decode = best_of(5, [&] {
      xapian_sum = 0;
      for (uint32_t t : top) {
        auto name = term_name(t);
        for (auto it = rdb.postlist_begin(name); it != rdb.postlist_end(name); ++it) xapian_sum += *it + it.get_wdf();
      }
    });
  }

  // ---- stored documents: ours and SQLite -----------------------------------
  std::vector<uint8_t> store_bytes;
  {
    index::IndexSettings settings;  // lz4, 16384-byte blocks
    settings.docstore_compress_dedicated_thread = false;
    auto w = store::StoreWriter::create(std::make_unique<VecWriter>(&store_bytes), settings);
    for (const auto& t : corpus.texts) (void)(*w)->store_bytes(std::span((const uint8_t*)t.data(), t.size()));
    if (!(*w)->finish()) return 1;
  }
  auto store = store::StoreReader::open(FileSlice(OwnedBytes::from_vector(store_bytes)), 100);
  if (!store) return 1;
  std::mt19937 rng(seed);
  std::vector<uint32_t> fetch(100000);
  for (auto& f : fetch) f = rng() % num_docs;
  uint64_t ours_bytes = 0;
  double ours_fetch = best_of(3, [&] {
    ours_bytes = 0;
    for (uint32_t d : fetch) ours_bytes += store->document_bytes(d)->len();
  });

  sqlite3* db = nullptr;
  sqlite3_open((dir / "docs.sqlite").c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE docs(body TEXT); BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO docs(rowid, body) VALUES (?, ?)", -1, &ins, nullptr);
  for (uint32_t d = 0; d < num_docs; ++d) {
    sqlite3_bind_int64(ins, 1, d + 1);
    sqlite3_bind_text(ins, 2, corpus.texts[d].data(), static_cast<int>(corpus.texts[d].size()), SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_stmt* sel = nullptr;
  sqlite3_prepare_v2(db, "SELECT body FROM docs WHERE rowid = ?", -1, &sel, nullptr);
  uint64_t sqlite_bytes = 0;
  double sqlite_fetch = best_of(3, [&] {
    sqlite_bytes = 0;
    for (uint32_t d : fetch) {
      sqlite3_bind_int64(sel, 1, d + 1);
      if (sqlite3_step(sel) == SQLITE_ROW) sqlite_bytes += sqlite3_column_bytes(sel, 0);
      sqlite3_reset(sel);
    }
  });
  sqlite3_finalize(sel);
  sqlite3_close(db);
  std::filesystem::remove_all(dir);

  std::printf("corpus: %u docs, %u terms, top 1000 terms hold %llu postings\n", num_docs, corpus.vocab,
              static_cast<unsigned long long>(top_postings));
  std::printf("postings decode  ours %.4f s (%.1f M postings/s)  xapian %.4f s  ratio xapian/ours %.2fx%s\n",
              ours_decode, top_postings / ours_decode / 1e6, xapian_decode, xapian_decode / ours_decode,
              ours_sum == xapian_sum ? "" : "  (CHECKSUM MISMATCH)");
  std::printf("stored fetch     ours %.4f s  sqlite %.4f s  ratio sqlite/ours %.2fx%s\n", ours_fetch, sqlite_fetch,
              sqlite_fetch / ours_fetch, ours_bytes == sqlite_bytes ? "" : "  (BYTES MISMATCH)");
  return 0;
}
