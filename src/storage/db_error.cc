#include "storage/db_error.h"

namespace zudizid {
namespace {

struct KindInfo {
  const char* name;
  const char* prefix;
};

constexpr KindInfo kKinds[] = {
    {"NodeNotFound", "Node not found: "},
    {"EdgeNotFound", "Edge not found: "},
    {"Storage", "Storage error: "},
    {"Io", "IO error: "},
    {"Serialization", "Serialization error: "},
    {"InvalidKeyFormat", "Invalid key format: "},
    {"TransactionNotActive", "Transaction is not active"},
    {"TransactionConflict", "Transaction conflict: "},
    {"Deadlock", "Deadlock detected: "},
    {"Concurrency", "Concurrency error: "},
    {"QueryParse", "Query parse error: "},
    {"QueryExecution", "Query execution error: "},
    {"QueryPlanning", "Query planning error: "},
    {"SketchNotFound", "Sketch not found: "},
    {"InvalidSketch", "Invalid sketch: "},
    {"InvalidCommit", "Invalid commit: "},
    {"SemanticValidation", "Semantic validation error: "},
    {"Index", "Index error: "},
    {"AmbiguousUpsertKey", "Ambiguous upsert key: "},
    {"Message", ""},
};

}  // namespace

const std::string& DbError::text() const {
  static const std::string kEmpty;
  const std::string* s = std::get_if<std::string>(&payload_);
  return s ? *s : kEmpty;
}

void DbError::fmt(std::string& out) const {
  out += kKinds[static_cast<size_t>(kind_)].prefix;
  if (const auto* e = storage())
    out += e->display();
  else if (const auto* e = io())
    out += e->display();
  else
    out += text();
}

std::string DbError::display() const {
  std::string out;
  fmt(out);
  return out;
}

std::string DbError::debug() const {
  std::string out = kKinds[static_cast<size_t>(kind_)].name;
  if (kind_ == Kind::TransactionNotActive) return out;
  out += '(';
  if (const auto* e = storage())
    out += e->debug();
  else if (const auto* e = io())
    out += e->debug();
  else
    out += common::debug_quote(text());
  out += ')';
  return out;
}

}  // namespace zudizid
