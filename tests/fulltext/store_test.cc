#include <gtest/gtest.h>

#include <cstring>

#include "fulltext/common/vint.h"
#include "store_fixture.h"

namespace fendral::store {
namespace {

using index::Compressor;
using testing::doc_text;
using testing::open_store;
using testing::store_settings;
using testing::write_store;

std::string text(const OwnedBytes& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.len()); }

uint64_t count_blocks(const StoreReader& r) {
  auto c = r.skip_index().block_checkpoints();
  uint64_t n = 0;
  while (true) {
    auto x = c.next_checkpoint();
    EXPECT_TRUE(x);
    if (!x || !*x) return n;
    ++n;
  }
}

TEST(DocStore, EmptyStoreIsOneByteAndTheFooter) {
  auto bytes = write_store(0, store_settings(Compressor::Lz4, false, 16384));
  std::vector<uint8_t> expected = {0x80, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  expected.resize(29, 0);
  EXPECT_EQ(bytes, expected);
  auto r = open_store(bytes);
  ASSERT_TRUE(r);
  auto miss = r->document_bytes(0);
  ASSERT_FALSE(miss);
  EXPECT_EQ(miss.error().kind(), FendralError::Kind::InvalidArgument);
  EXPECT_EQ(miss.error().text(), "Failed to lookup Doc #0.");
  EXPECT_FALSE(r->raw_documents(nullptr).next().has_value());
}

TEST(DocStore, LayersOfTheSkipIndex) {
  struct Case {
    uint32_t blocks;
    size_t layers;
  } cases[] = {{1, 1}, {7, 1}, {8, 2}, {9, 2}, {64, 3}, {65, 3}};
  for (auto c : cases) {
    // Block size 1: every document closes its own block.
    for (auto comp : {Compressor::None, Compressor::Lz4}) {
      auto bytes = write_store(c.blocks, store_settings(comp, false, 1));
      auto r = open_store(bytes, 2);
      ASSERT_TRUE(r) << r.error().display();
      EXPECT_EQ(r->skip_index().num_layers(), c.layers) << c.blocks;
      EXPECT_EQ(count_blocks(*r), c.blocks);
      for (uint32_t d = 0; d < c.blocks; ++d) {
        auto b = r->document_bytes(d);
        ASSERT_TRUE(b) << b.error().display();
        EXPECT_EQ(text(*b), doc_text(d));
      }
      EXPECT_FALSE(r->document_bytes(c.blocks));
    }
  }
}

TEST(DocStore, BlockFlushCountsEightBytesPerDocument) {
  std::vector<uint8_t> out;
  auto w = StoreWriter::create(std::make_unique<VecWriter>(&out), store_settings(Compressor::None, false, 100));
  ASSERT_TRUE(w);
  for (int i = 0; i < 12; ++i) ASSERT_TRUE((*w)->store_bytes(std::vector<uint8_t>{uint8_t(i), 7}));
  ASSERT_TRUE((*w)->finish());
  auto r = open_store(out);
  ASSERT_TRUE(r);
  auto c = r->skip_index().block_checkpoints();
  auto first = c.next_checkpoint();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->doc_start, 0u);
  EXPECT_EQ((*first)->doc_end, 11u);  // 2*11 + 8*11 = 110 > 100
  // One raw block: 22 bytes of documents, 11 offsets, the count.
  EXPECT_EQ((*first)->byte_end - (*first)->byte_start, 22u + 44 + 4);
  auto second = c.next_checkpoint();
  ASSERT_TRUE(second && *second);
  EXPECT_EQ((*second)->doc_end, 12u);
}

TEST(DocStore, BothCompressionFormsWriteTheSameBytes) {
  auto other = write_store(40, store_settings(Compressor::Lz4, false, 64));
  auto other_reader = std::make_shared<StoreReader>(std::move(*open_store(other)));
  std::vector<uint8_t> files[2];
  for (int thread = 0; thread < 2; ++thread) {
    auto w = StoreWriter::create(std::make_unique<VecWriter>(&files[thread]),
                                 store_settings(Compressor::Lz4, thread == 1, 64));
    ASSERT_TRUE(w);
    for (uint32_t i = 0; i < 30; ++i) {
      auto t = doc_text(i);
      ASSERT_TRUE((*w)->store_bytes(std::span((const uint8_t*)t.data(), t.size())));
    }
    ASSERT_TRUE((*w)->append_store(other_reader));
    auto t = doc_text(99);
    ASSERT_TRUE((*w)->store_bytes(std::span((const uint8_t*)t.data(), t.size())));
    ASSERT_TRUE((*w)->finish());
  }
  EXPECT_EQ(files[0], files[1]);
  auto r = open_store(files[0], 4);
  ASSERT_TRUE(r);
  EXPECT_EQ(text(*r->document_bytes(29)), doc_text(29));
  EXPECT_EQ(text(*r->document_bytes(30)), doc_text(0));
  EXPECT_EQ(text(*r->document_bytes(69)), doc_text(39));
  EXPECT_EQ(text(*r->document_bytes(70)), doc_text(99));
  uint32_t n = 0;
  auto it = r->raw_documents(nullptr);
  while (auto d = it.next()) {
    ASSERT_TRUE(*d);
    ++n;
  }
  EXPECT_EQ(n, 71u);
}

TEST(DocStore, BlockCacheIsLeastRecentlyUsed) {
  auto bytes = write_store(3, store_settings(Compressor::Lz4, false, 1));
  for (size_t cap : {size_t{1}, size_t{2}}) {
    auto r = open_store(bytes, cap);
    ASSERT_TRUE(r);
    for (uint32_t d : {0u, 1u, 0u}) ASSERT_TRUE(r->document_bytes(d));
    EXPECT_EQ(r->cache_misses(), cap == 1 ? 3u : 2u);
    EXPECT_EQ(r->cache_hits(), cap == 1 ? 0u : 1u);
  }
}

TEST(DocStore, FooterAndBlockErrors) {
  auto r = open_store(std::vector<uint8_t>(27, 0));
  ASSERT_FALSE(r);
  EXPECT_EQ(std::get<IoError>(r.error().payload()).display(),
            "File corrupted. The file is smaller than Footer::SIZE_IN_BYTES (len=27).");
  auto bytes = write_store(5, store_settings(Compressor::Lz4, false, 16384));
  size_t footer = bytes.size() - 28;
  auto v1 = bytes;
  v1[footer] = 1;
  auto r1 = open_store(v1);
  ASSERT_TRUE(r1);
  EXPECT_EQ(r1->doc_store_version(), 1u);
  auto v3 = bytes;
  v3[footer] = 3;
  auto r3 = open_store(v3);
  ASSERT_FALSE(r3);
  EXPECT_EQ(std::get<IoError>(r3.error().payload()).display(), "Invalid doc store version 3");
  auto c7 = bytes;
  c7[footer + 12] = 7;
  EXPECT_FALSE(open_store(c7));

  // A damaged raw length asks for 4 GiB: refused before allocating.
  auto huge = bytes;
  huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;
  auto rh = open_store(huge);
  ASSERT_TRUE(rh);
  auto d = rh->document_bytes(0);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().kind(), FendralError::Kind::DataCorruption);

  // Position n and beyond inside a block.
  auto ok = open_store(bytes);
  auto block = ok->read_block(**ok->skip_index().find_checkpoint(0));
  ASSERT_TRUE(block);
  auto at_n = StoreReader::doc_bytes(*block, 5);
  ASSERT_FALSE(at_n);
  EXPECT_EQ(std::get<IoError>(at_n.error().payload()).display(), "failed to fill whole buffer");
  auto past = StoreReader::doc_bytes(*block, 6);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().text(), "Attempted to read doc from wrong block");
  // The last document ends where the offset table begins.
  auto last = StoreReader::doc_bytes(*block, 4);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->second, block->len() - 4 - 4 * 5);
}

}  // namespace
}  // namespace fendral::store

namespace fendral::store {
namespace {

TEST(DocStore, StoredDocumentsRoundTripThroughTheCodec) {
  schema::SchemaBuilder b;
  schema::TextOptions stored;
  stored.stored = true;
  b.add_field({"title", schema::FieldType::str(stored)});
  b.add_field({"hidden", schema::FieldType::str(schema::TextOptions{})});
  auto schema = b.build();
  std::vector<uint8_t> out;
  auto w = StoreWriter::create(std::make_unique<VecWriter>(&out), testing::store_settings(index::Compressor::Lz4, true, 64));
  ASSERT_TRUE(w);
  for (int i = 0; i < 20; ++i) {
    schema::CompactDoc doc;
    ASSERT_TRUE(doc.add_field_value(0, schema::OwnedValue("title " + std::to_string(i))));
    ASSERT_TRUE(doc.add_field_value(1, schema::OwnedValue("not stored")));
    ASSERT_TRUE((*w)->store_document(doc, schema));
  }
  ASSERT_TRUE((*w)->finish());
  auto r = testing::open_store(out, 10);
  ASSERT_TRUE(r);
  auto bytes = r->document_bytes(13);
  ASSERT_TRUE(bytes);
  auto doc = schema::deserialize_doc(bytes->as_bytes(), r->doc_store_version());
  ASSERT_TRUE(doc);
  auto values = doc->field_values().value();
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], (std::pair<schema::Field, schema::OwnedValue>{0, schema::OwnedValue("title 13")}));
}

}  // namespace
}  // namespace fendral::store
