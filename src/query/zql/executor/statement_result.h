// StatementResult: the one outcome of a ZQL statement that is not an error,
// and the payloads its kinds carry. Results own everything they hold and
// may move between threads; the Python result classes only read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

// One result row: column name -> value. A column without a value is absent
// (never Null). No order of keys is promised.
using Row = std::unordered_map<std::string, PropertyValue>;

struct QueryResult {
  std::vector<std::string> columns;  // in output order
  std::vector<Row> rows;
};

// Counts of a write statement, in the order the host program sees them.
struct WriteSummary {
  uint64_t nodes_created = 0;
  uint64_t edges_created = 0;
  uint64_t nodes_deleted = 0;
  uint64_t edges_deleted = 0;
  uint64_t nodes_updated = 0;
  uint64_t edges_updated = 0;
  uint64_t properties_changed = 0;
  std::vector<std::string> created_ids;  // ADD only, creation order, 36-character ids
};

struct ProfileResult {
  std::string plan;
  std::string statement_type = "query";
  std::vector<std::string> columns;
  // Object of five Int entries: bindings_examined, bindings_emitted,
  // frontier_states_visited, cycle_prunes, max_depth_observed.
  std::optional<PropertyValue> path_metrics;
  double execution_ms = 0.0;
  uint64_t rows_returned = 0;
  bool path_query = false;
};

struct ExportOutcome {
  std::string format;   // "CSV", "JSON", "Parquet" or "Arrow"
  std::string message;  // the export's own text
  uint64_t rows = 0;
};

class StatementResult {
 public:
  enum class Kind : uint8_t { Query, Write, Index, Explain, Profile, Export, Message };

  static StatementResult query(QueryResult r) { return StatementResult(Kind::Query, std::move(r)); }
  static StatementResult write(WriteSummary s) { return StatementResult(Kind::Write, std::move(s)); }
  static StatementResult index(std::string message) { return StatementResult(Kind::Index, std::move(message)); }
  static StatementResult explain(std::string plan) { return StatementResult(Kind::Explain, std::move(plan)); }
  static StatementResult profile(ProfileResult p) { return StatementResult(Kind::Profile, std::move(p)); }
  static StatementResult export_done(ExportOutcome e) { return StatementResult(Kind::Export, std::move(e)); }
  static StatementResult message(std::string text) { return StatementResult(Kind::Message, std::move(text)); }

  Kind kind() const { return kind_; }
  // "query", "write", "index", "explain", "profile", "export", "message".
  std::string_view kind_name() const;
  // One line describing the result (e.g. "3 rows returned").
  std::string summary() const;

  // The payload of the matching kind; nullptr for every other kind.
  const QueryResult* query_result() const { return kind_ == Kind::Query ? std::get_if<QueryResult>(&payload_) : nullptr; }
  const WriteSummary* write_summary() const { return std::get_if<WriteSummary>(&payload_); }
  const ProfileResult* profile_result() const { return std::get_if<ProfileResult>(&payload_); }
  const ExportOutcome* export_outcome() const { return std::get_if<ExportOutcome>(&payload_); }
  // The plan text of Explain.
  std::optional<std::string> plan() const;
  // Index and Message: their text; Export: its summary; else none.
  std::optional<std::string> message_text() const;

 private:
  using Payload = std::variant<QueryResult, WriteSummary, std::string, ProfileResult, ExportOutcome>;
  StatementResult(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  Payload payload_;
};

}  // namespace zudizid::query::zql::executor
