// Seeded bit flips, overwrites and truncations of every component of a small
// segment (term dictionary, postings, positions, document store, field
// norms): reading them gives an error or a value, never a crash, a hang, a
// sanitizer report or an allocation beyond a small multiple of the file.
//
// SEGMENT_FUZZ_ITERATIONS overrides the number of mutations (default per
// target, see CMakeLists.txt); SEGMENT_FUZZ_SEED the seed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/fieldnorm/fieldnorms_writer.h"
#include "fulltext/index/inverted_index_reader.h"
#include "postings_fixture.h"
#include "store_fixture.h"

#ifndef SEGMENT_FUZZ_DEFAULT_ITERATIONS
#define SEGMENT_FUZZ_DEFAULT_ITERATIONS 3000
#endif

// The largest single allocation while armed.
static std::atomic<bool> g_armed{false};
static std::atomic<size_t> g_largest{0};

void* operator new(size_t n) {
  if (g_armed.load(std::memory_order_relaxed)) {
    size_t cur = g_largest.load(std::memory_order_relaxed);
    while (n > cur && !g_largest.compare_exchange_weak(cur, n)) {
    }
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace fendral {
namespace {

enum Component { kTerms, kPostings, kPositions, kStore, kFieldNorms, kNumComponents };

struct Segment {
  std::vector<uint8_t> files[kNumComponents];
  std::vector<std::string> keys;
};

Segment build_segment() {
  std::mt19937 rng(11);
  testing::TermPostings terms;
  std::vector<uint8_t> norms;
  for (uint32_t doc = 0; doc < 600; ++doc) {
    uint32_t len = 1 + rng() % 30;
    norms.push_back(static_cast<uint8_t>(len));
    std::map<std::string, std::vector<uint32_t>> doc_terms;
    for (uint32_t p = 0; p < len; ++p) doc_terms["w" + std::to_string(rng() % (rng() % 4 == 0 ? 60 : 3))].push_back(p);
    for (auto& [t, pos] : doc_terms) terms[t].push_back({doc, 0, pos});
  }
  Segment s;
  for (const auto& [t, d] : terms) s.keys.push_back(t);
  auto f = testing::write_field(terms, postings::RecordOption::WithFreqsAndPositions,
                                fieldnorm::FieldNormReader::from_bytes(OwnedBytes::copy_of(norms)), true, 9000);
  s.files[kTerms] = f.terms;
  s.files[kPostings] = f.postings;
  s.files[kPositions] = f.positions;
  s.files[kStore] = testing::write_store(300, testing::store_settings(index::Compressor::Lz4, false, 256));
  CompositeWrite w(std::make_unique<VecWriter>(&s.files[kFieldNorms]));
  EXPECT_TRUE(w.for_field(0).write_all(std::span<const uint8_t>(norms)));
  EXPECT_TRUE(w.close());
  return s;
}

void mutate(std::vector<uint8_t>& f, std::mt19937& rng) {
  if (f.empty()) return;
  switch (rng() % 4) {
    case 0:  // bit flips
      for (uint32_t i = 0, n = 1 + rng() % 8; i < n; ++i) f[rng() % f.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      break;
    case 1:  // truncation
      f.resize(rng() % f.size());
      break;
    case 2: {  // an extreme length or offset
      static const uint32_t kValues[] = {0, 1, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF};
      uint32_t v = kValues[rng() % 8];
      size_t at = rng() % f.size();
      for (int i = 0; i < 4 && at + i < f.size(); ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
      break;
    }
    default:  // random bytes in one place near the end, where the tables are
      for (uint32_t i = 0, n = 1 + rng() % 6; i < n; ++i) f[f.size() - 1 - rng() % std::min<size_t>(f.size(), 48)] = rng();
  }
}

// Reads everything reachable; returns normally whatever the bytes hold.
void read_all(const Segment& s) {
  auto terms = FileSlice(OwnedBytes::copy_of(s.files[kTerms]));
  auto reader = index::InvertedIndexReader::open(terms, FileSlice(OwnedBytes::copy_of(s.files[kPostings])),
                                                 FileSlice(OwnedBytes::copy_of(s.files[kPositions])),
                                                 postings::RecordOption::WithFreqsAndPositions);
  if (reader) {
    const auto& dict = (*reader)->terms();
    uint64_t n = std::min<uint64_t>(dict.num_terms(), 200);
    for (uint64_t ord = 0; ord < n; ++ord) {
      auto info = dict.term_info_from_ord(ord);
      if (!info) continue;
      for (auto opt : {postings::RecordOption::Basic, postings::RecordOption::WithFreqsAndPositions}) {
        auto p = (*reader)->read_postings(*info, opt);
        if (!p) continue;
        std::vector<uint32_t> pos;
        for (int steps = 0; p->doc() != postings::TERMINATED && steps < 5000; ++steps) {
          pos.clear();
          (void)p->positions(pos);
          p->advance();
        }
      }
      auto b = (*reader)->read_block_postings(*info, postings::RecordOption::WithFreqs);
      if (b) b->seek(300);
    }
    for (const auto& k : s.keys) (void)dict.get(std::span((const uint8_t*)k.data(), k.size()));
  }
  auto store = store::StoreReader::open(FileSlice(OwnedBytes::copy_of(s.files[kStore])), 2);
  if (store) {
    for (uint32_t d = 0; d < 305; ++d) (void)store->document_bytes(d);
    auto it = store->raw_documents(nullptr);
    for (int i = 0; i < 1000; ++i) {
      auto d = it.next();
      if (!d || !*d) break;
    }
  }
  auto norms = fieldnorm::FieldNormReaders::open(FileSlice(OwnedBytes::copy_of(s.files[kFieldNorms])));
  if (norms) {
    auto f = norms->get_field(0);
    if (f && *f) {
      for (uint32_t d = 0; d < (*f)->num_docs(); ++d) (void)(*f)->fieldnorm(d);
    }
  }
}

TEST(SegmentFuzz, DamagedComponentsNeverCrash) {
  const Segment clean = build_segment();
  read_all(clean);  // the undamaged segment reads
  uint64_t iterations = SEGMENT_FUZZ_DEFAULT_ITERATIONS;
  if (const char* e = std::getenv("SEGMENT_FUZZ_ITERATIONS")) iterations = std::strtoull(e, nullptr, 10);
  uint32_t seed = 20261211;
  if (const char* e = std::getenv("SEGMENT_FUZZ_SEED")) seed = static_cast<uint32_t>(std::strtoul(e, nullptr, 10));
  std::mt19937 rng(seed);
  size_t largest_file = 0;
  for (const auto& f : clean.files) largest_file = std::max(largest_file, f.size());
  for (uint64_t i = 0; i < iterations; ++i) {
    Segment s = clean;
    int c = static_cast<int>(rng() % kNumComponents);
    for (uint32_t k = 0, n = 1 + rng() % 2; k < n; ++k) mutate(s.files[c], rng);
    g_largest = 0;
    g_armed = true;
    read_all(s);
    g_armed = false;
    // LZ4 may expand a block 255-fold; nothing else comes close.
    ASSERT_LE(g_largest.load(), 256 * largest_file + (1 << 16)) << "iteration " << i << " component " << c;
  }
}

}  // namespace
}  // namespace fendral
