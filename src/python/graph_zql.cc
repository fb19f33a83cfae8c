// `Graph.execute_zql`: one ZQL statement, run without the interpreter lock,
// its result handed over whole in a ZqlResult.
#include <string>

#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"
#include "python/zql_result.h"
#include "query/zql/executor/execute_statement.h"

namespace zudizid::python {

namespace {

using query::zql::executor::StatementResult;

PyObject* execute_zql(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"query", true}};
  PyObject* a[1];
  if (!bind_args("execute_zql", kParams, args, nargsf, kwnames, a)) return nullptr;
  std::string text;
  if (!extract_str(a[0], "query", text)) return nullptr;
  return call_blocking(
      self, [&](graph::Graph& g) { return query::zql::executor::execute_statement(g, text); },
      [](StatementResult& result) { return new_zql_result(std::move(result)); });
}

const PyMethodDef kZqlMethods[] = {
    method_def<execute_zql>("execute_zql",
                            "execute_zql($self, query)\n--\n\n"
                            "Execute any ZQL statement and return a unified result."),
};

}  // namespace

std::span<const PyMethodDef> graph_zql_methods() { return kZqlMethods; }

}  // namespace zudizid::python
