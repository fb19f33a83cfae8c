// WalRecord: one write-ahead-log record and its JSON form.
//
// Nine variants, in this fixed order, every field required:
//   0 Begin {tx_id, timestamp}          5 DeleteEdge {tx_id, edge_id, edge}
//   1 InsertNode {tx_id, node}          6 Commit {tx_id, timestamp}
//   2 UpdateNode {tx_id, node_id, old_node, new_node}
//   3 DeleteNode {tx_id, node_id, node} 7 Abort {tx_id}
//   4 InsertEdge {tx_id, edge}          8 Checkpoint {timestamp, active_transactions}
//
// The log stores each record as the compact JSON object whose single key is
// the variant name and whose value is the object of the variant's fields, e.g.
//   {"Begin":{"tx_id":7,"timestamp":12}}
// The reader also accepts the fields as a positional array and reports errors
// as "{message} at line {L} column {C}" (see common/json.h).
//
// The JSON form writes NaN and infinite floats as null, so a record holding
// one would read back different after a crash: `validate_for_log` refuses
// such records (and over-deep property values) before they are logged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/json.h"
#include "common/uuid.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid::wal {

struct Begin {
  uint64_t tx_id = 0;
  uint64_t timestamp = 0;
  friend bool operator==(const Begin&, const Begin&) = default;
};
struct InsertNode {
  uint64_t tx_id = 0;
  Node node;
  friend bool operator==(const InsertNode&, const InsertNode&) = default;
};
struct UpdateNode {
  uint64_t tx_id = 0;
  Uuid node_id;
  Node old_node;
  Node new_node;
  friend bool operator==(const UpdateNode&, const UpdateNode&) = default;
};
struct DeleteNode {
  uint64_t tx_id = 0;
  Uuid node_id;
  Node node;
  friend bool operator==(const DeleteNode&, const DeleteNode&) = default;
};
struct InsertEdge {
  uint64_t tx_id = 0;
  Edge edge;
  friend bool operator==(const InsertEdge&, const InsertEdge&) = default;
};
struct DeleteEdge {
  uint64_t tx_id = 0;
  Uuid edge_id;
  Edge edge;
  friend bool operator==(const DeleteEdge&, const DeleteEdge&) = default;
};
struct Commit {
  uint64_t tx_id = 0;
  uint64_t timestamp = 0;
  friend bool operator==(const Commit&, const Commit&) = default;
};
struct Abort {
  uint64_t tx_id = 0;
  friend bool operator==(const Abort&, const Abort&) = default;
};
struct Checkpoint {
  uint64_t timestamp = 0;
  std::vector<uint64_t> active_transactions;
  friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

class WalRecord {
 public:
  using Variant =
      std::variant<Begin, InsertNode, UpdateNode, DeleteNode, InsertEdge, DeleteEdge, Commit, Abort, Checkpoint>;

  WalRecord(Variant v) : v_(std::move(v)) {}  // NOLINT: implicit from any variant
  template <class T>
  WalRecord(T v) : v_(std::move(v)) {}  // NOLINT

  const Variant& variant() const { return v_; }
  size_t index() const { return v_.index(); }
  std::string_view name() const;
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }
  // The transaction the record belongs to; none for Checkpoint.
  std::optional<uint64_t> tx_id() const;

  // Variant index 0..8 for an exact, case-sensitive name.
  static std::optional<size_t> variant_from_name(std::string_view name);

  // The compact JSON payload.
  std::string to_json() const;
  void to_json(std::string& out) const;
  // Refuses what the JSON form cannot carry faithfully: non-finite floats
  // and property values nested beyond PropertyValue::kMaxWriteDepth.
  DbResult<void> validate_for_log() const;

  // Reads one payload; the error's to_string() is the message to report.
  static common::json::Result<WalRecord> from_json(std::string_view payload);

  friend bool operator==(const WalRecord&, const WalRecord&) = default;

 private:
  Variant v_;
};

}  // namespace zudizid::wal
