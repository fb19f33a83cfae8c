// DbError: the error value of the whole graph layer. Errors travel up
// unchanged and become text only at the Python boundary.
//
// Display text is a fixed prefix followed by the payload's own text:
//   NodeNotFound "Node not found: "        EdgeNotFound "Edge not found: "
//   Storage "Storage error: " + engine     Io "IO error: " + system text
//   Serialization "Serialization error: "  InvalidKeyFormat "Invalid key format: "
//   TransactionNotActive: exactly "Transaction is not active"
//   TransactionConflict "Transaction conflict: "  Deadlock "Deadlock detected: "
//   Concurrency "Concurrency error: "      QueryParse "Query parse error: "
//   QueryExecution "Query execution error: "      QueryPlanning "Query planning error: "
//   SketchNotFound "Sketch not found: "    InvalidSketch "Invalid sketch: "
//   InvalidCommit "Invalid commit: "       SemanticValidation "Semantic validation error: "
//   Index "Index error: "                  AmbiguousUpsertKey "Ambiguous upsert key: "
//   Message: the payload alone.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "common/io_error.h"
#include "kv/error.h"

namespace zudizid {

class DbError {
 public:
  enum class Kind : uint8_t {
    NodeNotFound,
    EdgeNotFound,
    Storage,
    Io,
    Serialization,
    InvalidKeyFormat,
    TransactionNotActive,
    TransactionConflict,
    Deadlock,
    Concurrency,
    QueryParse,
    QueryExecution,
    QueryPlanning,
    SketchNotFound,
    InvalidSketch,
    InvalidCommit,
    SemanticValidation,
    Index,
    AmbiguousUpsertKey,
    Message,
  };

  // Engine and platform failures convert implicitly, so `return
  // std::unexpected(DbError(engine_error))` and friends read naturally.
  DbError(kelm::Error e) : kind_(Kind::Storage), payload_(std::move(e)) {}          // NOLINT
  DbError(common::IoError e) : kind_(Kind::Io), payload_(std::move(e)) {}           // NOLINT

  // A text-carrying variant (every kind except Storage, Io and
  // TransactionNotActive).
  DbError(Kind kind, std::string text) : kind_(kind), payload_(std::move(text)) {}

  static DbError node_not_found(std::string t) { return {Kind::NodeNotFound, std::move(t)}; }
  static DbError edge_not_found(std::string t) { return {Kind::EdgeNotFound, std::move(t)}; }
  static DbError serialization(std::string t) { return {Kind::Serialization, std::move(t)}; }
  static DbError invalid_key_format(std::string t) { return {Kind::InvalidKeyFormat, std::move(t)}; }
  static DbError transaction_not_active() { return DbError(Kind::TransactionNotActive); }
  static DbError transaction_conflict(std::string t) { return {Kind::TransactionConflict, std::move(t)}; }
  static DbError deadlock(std::string t) { return {Kind::Deadlock, std::move(t)}; }
  static DbError concurrency(std::string t) { return {Kind::Concurrency, std::move(t)}; }
  static DbError query_parse(std::string t) { return {Kind::QueryParse, std::move(t)}; }
  static DbError query_execution(std::string t) { return {Kind::QueryExecution, std::move(t)}; }
  static DbError query_planning(std::string t) { return {Kind::QueryPlanning, std::move(t)}; }
  static DbError sketch_not_found(std::string t) { return {Kind::SketchNotFound, std::move(t)}; }
  static DbError invalid_sketch(std::string t) { return {Kind::InvalidSketch, std::move(t)}; }
  static DbError invalid_commit(std::string t) { return {Kind::InvalidCommit, std::move(t)}; }
  static DbError semantic_validation(std::string t) { return {Kind::SemanticValidation, std::move(t)}; }
  static DbError index(std::string t) { return {Kind::Index, std::move(t)}; }
  static DbError ambiguous_upsert_key(std::string t) { return {Kind::AmbiguousUpsertKey, std::move(t)}; }
  static DbError message(std::string t) { return {Kind::Message, std::move(t)}; }

  // Decode/encode failures of stored records, with the storage layer's prefixes.
  static DbError msgpack_decode(std::string_view decoder_message) {
    return serialization("MessagePack deserialize error: " + std::string(decoder_message));
  }
  static DbError msgpack_encode(std::string_view encoder_message) {
    return serialization("MessagePack serialize error: " + std::string(encoder_message));
  }

  Kind kind() const { return kind_; }
  // The payload text of a text-carrying variant; empty otherwise.
  const std::string& text() const;
  const kelm::Error* storage() const { return std::get_if<kelm::Error>(&payload_); }
  const common::IoError* io() const { return std::get_if<common::IoError>(&payload_); }

  void fmt(std::string& out) const;
  std::string display() const;
  // Variant name and payload: NodeNotFound("x"), Storage(<engine debug>),
  // Io(<io debug>), TransactionNotActive.
  std::string debug() const;

 private:
  explicit DbError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::variant<std::string, kelm::Error, common::IoError> payload_;
};

template <class T>
using DbResult = std::expected<T, DbError>;

}  // namespace zudizid
