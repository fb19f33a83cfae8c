// QueryResult: the answer of a FIND query. `columns` in output order; each
// Row maps column keys to values. A row may hold keys that are no column
// (the property keys behind an alias, every property under a "*" column)
// and may lack a column's key: a missing key is no value, which is not Null.
// A column list of exactly "*" means every key of each row.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

using Row = std::unordered_map<std::string, PropertyValue>;

struct QueryResult {
  std::vector<std::string> columns;
  std::vector<Row> rows;
};

}  // namespace zudizid::query::zql::executor
