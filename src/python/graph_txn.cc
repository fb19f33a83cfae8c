// `Graph.begin_transaction` and `Graph.bulk_loader`: the methods that hand
// the caller a write object holding its own clone of the engine handle.
#include <fmt/format.h>

#include <memory>
#include <string>

#include "graph/bulk_load.h"
#include "python/args.h"
#include "python/bulk_loader.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"
#include "python/transaction.h"
#include "transaction/isolation_level.h"
#include "transaction/transaction.h"

namespace zudizid::python {

namespace {

using transaction::Transaction;

// The isolation name is looked at only after the transaction has begun, so
// a closed graph reports "Graph is closed" before a bad name is noticed.
PyObject* begin_transaction(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"isolation", false}};
  PyObject* a[1];
  if (!bind_args("begin_transaction", kParams, args, nargsf, kwnames, a)) return nullptr;
  std::optional<std::string> isolation;
  if (a[0] && a[0] != Py_None) {
    isolation.emplace();
    if (!extract_str(a[0], "isolation", *isolation)) return nullptr;
  }

  std::unique_ptr<Transaction> tx;
  PyRef done = PyRef::steal(call_blocking(
      self,
      [](graph::Graph& g) -> DbResult<std::unique_ptr<Transaction>> {
        return Transaction::begin(std::make_shared<graph::Graph>(g.clone()));
      },
      [&](std::unique_ptr<Transaction>& begun) {
        tx = std::move(begun);
        return none_to_py();
      }));
  if (!done) return nullptr;

  if (isolation) {
    std::string name = std::move(*isolation);
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    auto level = transaction::isolation_level_from_python(name);
    if (!level) {
      tx.reset();  // rolled back: warns, leaves the active set
      return raise(PyExc_ValueError, fmt::format("Invalid isolation level '{}'. Use 'read_uncommitted' | "
                                                 "'read_committed' | 'repeatable_read' | 'serializable'",
                                                 name));
    }
    tx->set_isolation(*level);
  }
  return wrap_transaction(std::move(tx));
}

// Keeps the interpreter lock: the loader only copies the handle and reserves
// (bounded) room for its buffers.
PyObject* bulk_loader(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"batch_size", true}};
  PyObject* a[1];
  if (!bind_args("bulk_loader", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  auto batch_size = extract_u64(a[0], "batch_size");
  if (!batch_size) return nullptr;
  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  auto loader = std::make_unique<graph::BulkLoader>(*handle, *batch_size);
  return wrap_bulk_loader(std::move(loader));
}

const PyMethodDef kTxnMethods[] = {
    method_def<begin_transaction>(
        "begin_transaction",
        "begin_transaction($self, isolation=None)\n--\n\n"
        "Begin a transaction\n"
        "\n"
        "Returns:\n"
        "    Transaction: Active transaction\n"
        "\n"
        "Example:\n"
        "    >>> tx = graph.begin_transaction()\n"
        "    >>> node_id = tx.add_node(\"Person\", {\"name\": \"Alice\"})\n"
        "    >>> tx.commit()\n"
        "Begin a transaction.\n"
        "\n"
        "isolation: None (default ReadCommitted) | \"read_uncommitted\" | \"read_committed\"\n"
        "    | \"repeatable_read\" | \"serializable\"\n"
        "    (requires the full-isolation feature)"),
    method_def<bulk_loader>("bulk_loader", "bulk_loader($self, batch_size)\n--\n\n"),
};

}  // namespace

std::span<const PyMethodDef> graph_txn_methods() { return kTxnMethods; }

}  // namespace zudizid::python
