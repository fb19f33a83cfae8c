#include <gtest/gtest.h>

#include "common/log.h"
#include "fulltext/postings/postings_writer.h"
#include "fulltext/postings/recorder.h"
#include "fulltext/schema/schema.h"

namespace fendral::postings {
namespace {

struct Doc {
  uint32_t doc, tf;
  std::vector<uint32_t> deltas;
  bool operator==(const Doc&) const = default;
};
struct CollectSink {
  std::vector<Doc> docs;
  void write_doc(uint32_t doc, uint32_t tf, std::span<const uint32_t> d) {
    docs.push_back({doc, tf, std::vector<uint32_t>(d.begin(), d.end())});
  }
};

// Records (doc, position) occurrences of one term and returns the list bytes
// with the replayed documents.
template <class R>
std::pair<std::vector<uint8_t>, std::vector<Doc>> record(std::vector<std::pair<uint32_t, uint32_t>> occurrences) {
  stacker::MemoryArena arena;
  R rec{};
  bool absent = true;
  for (auto [doc, pos] : occurrences) {
    EXPECT_TRUE(rec.record(absent, doc, pos, arena));
    absent = false;
  }
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(rec.list.read_to_end(arena, bytes));
  CollectSink sink;
  std::vector<uint32_t> scratch;
  rec.replay(std::span<const uint8_t>(bytes), scratch, sink);
  return {bytes, sink.docs};
}

TEST(Recorder, ListBytesAndReplay) {
  auto [one, one_docs] = record<TfAndPositionRecorder>({{0, 0}});
  EXPECT_EQ(one, (std::vector<uint8_t>{0x80, 0x81}));
  EXPECT_EQ(one_docs, (std::vector<Doc>{{0, 1, {0}}}));

  auto [pos, pos_docs] = record<TfAndPositionRecorder>({{5, 3}, {5, 7}, {9, 2}});
  EXPECT_EQ(pos, (std::vector<uint8_t>{0x85, 0x84, 0x88, 0x80, 0x84, 0x83}));
  EXPECT_EQ(pos_docs, (std::vector<Doc>{{5, 2, {3, 4}}, {9, 1, {2}}}));

  auto [tf, tf_docs] = record<TermFrequencyRecorder>({{2, 0}, {6, 0}, {6, 0}, {6, 0}});
  EXPECT_EQ(tf, (std::vector<uint8_t>{0x82, 0x81, 0x84}));
  EXPECT_EQ(tf_docs, (std::vector<Doc>{{2, 1, {}}, {6, 3, {}}}));

  // Doc-id only: 83 82 replays documents 3 and 5 with frequency 0.
  auto [ids, id_docs] = record<DocIdRecorder>({{3, 0}, {3, 1}, {5, 0}});
  EXPECT_EQ(ids, (std::vector<uint8_t>{0x83, 0x82}));
  EXPECT_EQ(id_docs, (std::vector<Doc>{{3, 0, {}}, {5, 0, {}}}));
}

TEST(Recorder, TruncatedListIsAnInternalInconsistency) {
  DocIdRecorder rec{};
  CollectSink sink;
  std::vector<uint32_t> scratch;
  std::vector<uint8_t> bytes = {0x83, 0x02};
  EXPECT_THROW(rec.replay(std::span<const uint8_t>(bytes), scratch, sink), ContractViolation);
}

class VectorStream final : public tokenizer::TokenStream {
 public:
  explicit VectorStream(std::vector<tokenizer::Token> t) : tokens_(std::move(t)) {}
  bool advance() override { return ++i_ < static_cast<int>(tokens_.size()); }
  const tokenizer::Token& token() const override { return tokens_[i_]; }
  tokenizer::Token& token_mut() override { return tokens_[i_]; }

 private:
  std::vector<tokenizer::Token> tokens_;
  int i_ = -1;
};

tokenizer::Token tok(std::string text, uint64_t position) {
  tokenizer::Token t;
  t.text = std::move(text);
  t.position = position;
  return t;
}

schema::FieldEntry text_field(schema::RecordOption record) {
  schema::TextOptions o;
  o.indexing = schema::TextFieldIndexing{};
  o.indexing->record = record;
  return {"body", schema::FieldType::str(o)};
}

TEST(PostingsWriter, IndexTextPositionsAcrossValues) {
  auto writer = make_postings_writer(text_field(schema::RecordOption::WithFreqsAndPositions));
  IndexingContext ctx(1024);
  IndexingTerm term(0);
  IndexingPosition pos;
  VectorStream first({tok("a", 0), tok("b", 1)});
  ASSERT_TRUE(writer->index_text(0, first, term, ctx, pos));
  VectorStream second({tok("a", 0)});
  ASSERT_TRUE(writer->index_text(0, second, term, ctx, pos));
  EXPECT_EQ(pos.end_position, 5u);
  EXPECT_EQ(pos.num_tokens, 3u);
  EXPECT_EQ(term.len(), 4u);
  EXPECT_EQ(writer->total_num_tokens(), 3u);
  // "a" at positions 0 and 3 of document 0.
  std::vector<uint8_t> key = {0, 0, 0, 0, 'a'};
  for (auto [k, addr] : ctx.term_index.iter()) {
    if (std::vector<uint8_t>(k.begin(), k.end()) != key) continue;
    auto rec = ctx.term_index.arena().read<TfAndPositionRecorder>(addr);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(rec.list.read_to_end(ctx.arena, bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x80, 0x81, 0x84}));
  }
}

TEST(PostingsWriter, OverLongTokensAreDroppedWithAWarning) {
  zudizid::log::ScopedCapture capture(zudizid::log::Level::Warn);
  struct Case {
    bool json;
    size_t len;
    bool kept;
  } cases[] = {{false, 65530, true}, {false, 65531, false}, {true, 65526, true}, {true, 65527, false},
               {true, 65530, false}};
  for (const auto& c : cases) {
    schema::FieldEntry entry = text_field(schema::RecordOption::Basic);
    if (c.json) {
      schema::JsonObjectOptions o;
      o.indexing = schema::TextFieldIndexing{};
      entry = {"j", schema::FieldType::json_object(o)};
    }
    auto writer = make_postings_writer(entry);
    IndexingContext ctx(16);
    IndexingTerm term(0);
    if (c.json) term.append_bytes(std::vector<uint8_t>{0, 0, 0, 0, 's'});
    IndexingPosition pos;
    VectorStream s({tok(std::string(c.len, 'x'), 0)});
    size_t warnings_before = capture.records().size();
    ASSERT_TRUE(writer->index_text(0, s, term, ctx, pos));
    EXPECT_EQ(ctx.term_index.len(), c.kept ? 1u : 0u) << c.len;
    EXPECT_EQ(pos.num_tokens, c.kept ? 1u : 0u) << c.len;
    EXPECT_EQ(capture.records().size() - warnings_before, c.kept ? 0u : 1u) << c.len;
  }
  auto records = capture.records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].target, "fendral::postings::postings_writer");
  EXPECT_EQ(records[0].message,
            "A token exceeding MAX_TOKEN_LEN (65531>65530) was dropped. Search for MAX_TOKEN_LEN in the "
            "documentation for more information.");

  // A bytes value too long for the term map is dropped, not recorded cut.
  schema::BytesOptions bo;
  bo.indexed = true;
  auto writer = make_postings_writer({"b", schema::FieldType::bytes(bo)});
  IndexingContext ctx(16);
  IndexingTerm term(0);
  term.append_bytes(std::vector<uint8_t>(70000, 7));
  ASSERT_TRUE(writer->subscribe(0, 0, term, ctx));
  EXPECT_EQ(ctx.term_index.len(), 0u);
}

}  // namespace
}  // namespace fendral::postings
