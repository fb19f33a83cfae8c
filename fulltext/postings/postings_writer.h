// In-memory postings of a segment under construction. Every indexed field
// has a PostingsWriter; each occurrence of a term updates the term's
// recorder (recorder.h), the value of the segment's term map keyed by the
// term bytes:
//   [u32 BE field] value bytes                       non-JSON fields
//   [u32 BE field][u32 BE path id][type code] value  JSON fields
// At serialisation each field's writer replays its terms, in sorted order,
// into the field's FieldSerializer.
//
// The term map keeps at most 65,535 key bytes; a term that would not fit (a
// token over 65,530 bytes, or a JSON token or a long bytes or facet value
// that would overflow the key) is dropped with the warning "A token exceeding
// MAX_TOKEN_LEN ({}>{}) was dropped. ..." under
// fendral::postings::postings_writer instead of being recorded cut.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "fulltext/error/error.h"
#include "fulltext/indexer/path_to_unordered_id.h"
#include "fulltext/postings/field_serializer.h"
#include "fulltext/postings/recorder.h"
#include "fulltext/schema/schema.h"
#include "fulltext/schema/term.h"
#include "fulltext/stacker/shared_arena_hashmap.h"
#include "fulltext/tokenizer/token.h"

namespace fendral::postings {

constexpr size_t MAX_TOKEN_LEN = 65530;
constexpr size_t kMaxTermKeyLen = 0xFFFF;

// The term buffer: 4-byte big-endian field header, then the term's bytes.
class IndexingTerm {
 public:
  explicit IndexingTerm(schema::Field field) { set_field(field); }
  void set_field(schema::Field field);
  void truncate_value_bytes(size_t value_len) { bytes_.resize(4 + value_len); }
  void append_bytes(std::span<const uint8_t> b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
  void append_text(std::string_view t) { append_bytes({reinterpret_cast<const uint8_t*>(t.data()), t.size()}); }
  void append_u32_be(uint32_t v);
  void append_u64_be(uint64_t v);
  // Type code and 8-byte image: 'u' and v; 'i' and the sign-flipped image;
  // 'f' and the order-preserving image of the float.
  void append_u64(uint64_t v);
  void append_i64(int64_t v);
  void append_f64(double v);
  void append_type_code(schema::ValueType t) { bytes_.push_back(static_cast<uint8_t>(t)); }
  size_t len() const { return bytes_.size(); }
  size_t value_len() const { return bytes_.size() - 4; }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// One per segment writer.
struct IndexingContext {
  explicit IndexingContext(size_t term_map_capacity) : term_index(term_map_capacity) {}
  stacker::ArenaHashMap term_index;  // term bytes -> recorder
  stacker::MemoryArena arena;        // the recorders' lists
  indexer::PathToUnorderedId path_to_unordered_id;  // JSON paths of the segment
  size_t mem_usage() const { return term_index.mem_usage() + arena.mem_usage(); }
};

// Per field (or JSON path) and document.
struct IndexingPosition {
  uint32_t num_tokens = 0;
  uint32_t end_position = 0;
};

// One recorded term of a field, ready for replay.
struct TermEntry {
  uint32_t path = 0;  // ordered JSON path id (0 otherwise)
  std::span<const uint8_t> term;  // bytes after the field header (and path id)
  stacker::Addr recorder;
};

class PostingsWriter {
 public:
  virtual ~PostingsWriter() = default;
  // Records one occurrence of the term in the buffer (a value that is not
  // tokenized text comes with position 0).
  virtual Result<void> subscribe(uint32_t doc, uint32_t position, const IndexingTerm& term,
                                 IndexingContext& ctx) = 0;
  // Replays the field's entries (sorted) into the serializer.
  virtual Result<void> serialize(std::span<const TermEntry> entries, std::span<const std::string> ordered_paths,
                                 const IndexingContext& ctx, FieldSerializer& out) = 0;
  // Indexes each token of the stream after the term's current bytes (the
  // field header and, for JSON, the path id and 's').
  virtual Result<void> index_text(uint32_t doc, tokenizer::TokenStream& stream, IndexingTerm& term,
                                  IndexingContext& ctx, IndexingPosition& pos) = 0;
  virtual uint64_t total_num_tokens() const = 0;
};

// The writer a field gets from its type and record option.
std::unique_ptr<PostingsWriter> make_postings_writer(const schema::FieldEntry& entry);

// Logs the over-long token warning (one per dropped term).
void warn_dropped_token(size_t len, size_t limit);

}  // namespace fendral::postings
