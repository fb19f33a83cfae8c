// The EXPORT clause of FIND: renders a finished QueryResult as CSV or JSON
// text, returned as the export's content and, with the option "path",
// also written to that file.
//
// Options (names exact; a value of the wrong kind counts as absent):
//   separator  CSV   String  ","    between fields (any length)
//   header     CSV   flag    true   write the header line
//   pretty     JSON  flag    false  one object per line inside the array
//   jsonl      JSON  flag    false  JSON Lines (wins over pretty)
//   path       both  String  none   file to write the text to
// A flag takes a Bool, or a String that is true unless exactly "false".
//
// CSV: a field (header names included) is quoted when it holds the
// separator, a double quote, a line feed or a carriage return (every field
// when the separator is empty); quotes inside are doubled. Every line ends
// with a line feed. JSON: objects with the columns in order, no spaces;
// strings escape backslash, quote, \n \r \t and every other control
// character as \u00XX. Floats print in their shortest positional form
// (2.0 as 2); NaN and infinities are NaN/inf/-inf in CSV and null in JSON.
//
// The file is replaced atomically (temporary sibling, fsync, rename), so a
// failed export leaves an existing file as it was. ARROW and PARQUET are
// refused: Arrow IPC bytes come from Graph.to_arrow and its siblings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

struct ExportResult {
  std::string format;   // "CSV" or "JSON"
  std::string content;  // the rendered text
  uint64_t rows = 0;
};

DbResult<ExportResult> render_export(const QueryResult& result, const ast::ExportClause& clause);

// `text` escaped for a JSON string (without the surrounding quotes).
std::string json_escape(std::string_view text);
// The JSON text of a value (null for NaN and infinities).
std::string value_to_json(const PropertyValue& value);

}  // namespace zudizid::query::zql::executor
