#include "fulltext/postings/postings_writer.h"

#include <functional>

#include "common/log.h"

namespace fendral::postings {

namespace {

constexpr const char* kTarget = "fendral::postings::postings_writer";

struct ReplaySink {
  FieldSerializer& out;
  void write_doc(uint32_t doc, uint32_t tf, std::span<const uint32_t> deltas) { out.write_doc(doc, tf, deltas); }
};

template <class R>
Result<void> replay_term(std::span<const uint8_t> key, stacker::Addr addr, const IndexingContext& ctx,
                         std::vector<uint8_t>& bytes, std::vector<uint32_t>& scratch, FieldSerializer& out) {
  R rec = ctx.term_index.arena().read<R>(addr);
  auto n = out.new_term(key, rec.term_doc_freq(), R::kHasFreqs);
  if (!n) return n;
  bytes.clear();
  auto r = rec.list.read_to_end(ctx.arena, bytes);
  if (!r) return r;
  ReplaySink sink{out};
  rec.replay(std::span<const uint8_t>(bytes), scratch, sink);
  return out.close_term();
}

template <class R>
class SpecializedPostingsWriter final : public PostingsWriter {
 public:
  Result<void> subscribe(uint32_t doc, uint32_t position, const IndexingTerm& term, IndexingContext& ctx) override {
    if (term.len() > kMaxTermKeyLen) {
      warn_dropped_token(term.value_len(), kMaxTermKeyLen - 4);
      return {};
    }
    ++num_tokens_;
    Result<void> status;
    auto update = [&](std::optional<R> current) {
      R rec = current.value_or(R{});
      status = rec.record(!current.has_value(), doc, position, ctx.arena);
      return rec;
    };
    auto r = ctx.term_index.mutate_or_create<R>(term.bytes(), update);
    if (!r) return fail(r.error());
    return status;
  }

  Result<void> serialize(std::span<const TermEntry> entries, std::span<const std::string>,
                         const IndexingContext& ctx, FieldSerializer& out) override {
    for (const auto& e : entries) {
      auto r = replay_term<R>(e.term, e.recorder, ctx, bytes_, scratch_, out);
      if (!r) return r;
    }
    return {};
  }

  Result<void> index_text(uint32_t doc, tokenizer::TokenStream& stream, IndexingTerm& term, IndexingContext& ctx,
                          IndexingPosition& pos) override {
    const size_t end_of_path = term.value_len();
    // The key must fit the term map whole: header, path prefix and token.
    const size_t limit = std::min(MAX_TOKEN_LEN, kMaxTermKeyLen - 4 - end_of_path);
    const uint32_t base = pos.end_position;
    uint32_t end = base;
    uint32_t count = 0;
    Result<void> status;
    while (status && stream.advance()) {
      const tokenizer::Token& token = stream.token();
      if (token.text.size() > limit) {
        warn_dropped_token(token.text.size(), limit);
        continue;
      }
      term.truncate_value_bytes(end_of_path);
      term.append_text(token.text);
      uint32_t start = base + static_cast<uint32_t>(token.position);
      end = std::max(end, start + static_cast<uint32_t>(token.position_length));
      status = subscribe(doc, start, term, ctx);
      ++count;
    }
    pos.end_position = end + 1;
    pos.num_tokens += count;
    term.truncate_value_bytes(end_of_path);
    return status;
  }

  uint64_t total_num_tokens() const override { return num_tokens_; }

  // Replays one entry whose full term bytes are given (JSON writer).
  Result<void> replay(std::span<const uint8_t> key, stacker::Addr addr, const IndexingContext& ctx,
                      FieldSerializer& out) {
    return replay_term<R>(key, addr, ctx, bytes_, scratch_, out);
  }

 private:
  uint64_t num_tokens_ = 0;
  std::vector<uint8_t> bytes_;
  std::vector<uint32_t> scratch_;
};

template <class R>
class JsonPostingsWriter final : public PostingsWriter {
 public:
  Result<void> subscribe(uint32_t doc, uint32_t position, const IndexingTerm& term, IndexingContext& ctx) override {
    return non_text_.subscribe(doc, position, term, ctx);
  }

  Result<void> serialize(std::span<const TermEntry> entries, std::span<const std::string> ordered_paths,
                         const IndexingContext& ctx, FieldSerializer& out) override {
    std::vector<uint8_t> term;
    size_t prefix_len = 0;
    bool first = true;
    uint32_t previous_path = 0;
    for (const auto& e : entries) {
      if (first || e.path != previous_path) {
        term.clear();
        if (e.path >= ordered_paths.size()) contract_violation("JSON path id without a path");
        for (char c : ordered_paths[e.path]) term.push_back(c == '\0' ? '0' : static_cast<uint8_t>(c));
        term.push_back(0);
        prefix_len = term.size();
        previous_path = e.path;
        first = false;
      } else {
        term.resize(prefix_len);
      }
      term.insert(term.end(), e.term.begin(), e.term.end());
      if (e.term.empty()) contract_violation("Invalid type code in JSON term");
      Result<void> r;
      switch (e.term[0]) {
        case 's': r = text_.replay(term, e.recorder, ctx, out); break;
        case 'b': case 'd': case 'f': case 'h': case 'i': case 'j': case 'o': case 'p': case 'u':
          r = non_text_.replay(term, e.recorder, ctx, out);
          break;
        default: contract_violation("Invalid type code in JSON term");
      }
      if (!r) return r;
    }
    return {};
  }

  Result<void> index_text(uint32_t doc, tokenizer::TokenStream& stream, IndexingTerm& term, IndexingContext& ctx,
                          IndexingPosition& pos) override {
    return text_.index_text(doc, stream, term, ctx, pos);
  }

  uint64_t total_num_tokens() const override { return text_.total_num_tokens() + non_text_.total_num_tokens(); }

 private:
  SpecializedPostingsWriter<R> text_;
  SpecializedPostingsWriter<DocIdRecorder> non_text_;
};

template <template <class> class W>
std::unique_ptr<PostingsWriter> by_record(RecordOption option) {
  switch (option) {
    case RecordOption::Basic: return std::make_unique<W<DocIdRecorder>>();
    case RecordOption::WithFreqs: return std::make_unique<W<TermFrequencyRecorder>>();
    case RecordOption::WithFreqsAndPositions: return std::make_unique<W<TfAndPositionRecorder>>();
  }
  return std::make_unique<W<DocIdRecorder>>();
}

}  // namespace

void IndexingTerm::set_field(schema::Field field) {
  bytes_.assign({static_cast<uint8_t>(field >> 24), static_cast<uint8_t>(field >> 16),
                 static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field)});
}

void IndexingTerm::append_u32_be(uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v)};
  append_bytes(b);
}

void IndexingTerm::append_u64_be(uint64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
  append_bytes(b);
}

void IndexingTerm::append_u64(uint64_t v) {
  append_type_code(schema::ValueType::U64);
  append_u64_be(v);
}

void IndexingTerm::append_i64(int64_t v) {
  append_type_code(schema::ValueType::I64);
  append_u64_be(schema::i64_to_u64(v));
}

void IndexingTerm::append_f64(double v) {
  append_type_code(schema::ValueType::F64);
  append_u64_be(schema::f64_to_u64(v));
}

void warn_dropped_token(size_t len, size_t limit) {
  ZLOG(Warn, kTarget,
       "A token exceeding MAX_TOKEN_LEN ({}>{}) was dropped. Search for MAX_TOKEN_LEN in the documentation for more "
       "information.",
       len, limit);
}

std::unique_ptr<PostingsWriter> make_postings_writer(const schema::FieldEntry& entry) {
  const auto* indexing = entry.field_type.text_indexing();
  RecordOption option = indexing ? indexing->record : RecordOption::Basic;
  switch (entry.field_type.tag()) {
    case schema::FieldTypeTag::Str: return by_record<SpecializedPostingsWriter>(option);
    case schema::FieldTypeTag::JsonObject: return by_record<JsonPostingsWriter>(option);
    default: return std::make_unique<SpecializedPostingsWriter<DocIdRecorder>>();
  }
}

}  // namespace fendral::postings
