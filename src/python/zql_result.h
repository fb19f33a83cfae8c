// The Python classes ZqlResult, QueryResult and PyResultIterator over a
// statement's result, and the conversion of result values to Python.
#pragma once

#include "python/py.h"
#include "query/zql/executor/statement_result.h"
#include "storage/property_value.h"

namespace zudizid::python {

// Null None, Bool bool, Int int, Float float, String str, Bytes bytes,
// Object dict (pair order; a repeated name keeps its first place and last
// value), List list; recursively. New reference, or nullptr with an error set.
PyObject* property_value_to_py(const PropertyValue& value);

// A new ZqlResult owning `result`.
PyObject* new_zql_result(query::zql::executor::StatementResult result);

}  // namespace zudizid::python
