// The Python class `Transaction`.
//
// Every method but the repr holds the object's exclusive borrow for its whole
// run, so a second call on the same object from another thread fails at once
// with "Already borrowed". Arguments are converted before the closed check;
// `commit` and `rollback` take the core transaction out first, so the object
// is closed whatever their outcome.
#include "python/transaction.h"

#include <string>

#include "python/args.h"
#include "python/blocking.h"
#include "python/convert.h"
#include "python/graph_call.h"
#include "python/method_def.h"
#include "python/pyclass.h"
#include "python/write_args.h"
#include "storage/node.h"
#include "transaction/transaction.h"

namespace zudizid::python {

namespace {

using TxSlot = std::unique_ptr<transaction::Transaction>;

constexpr const char* kClosed = "Transaction already committed or rolled back";

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"label", true}, {"properties", true}};
  PyObject* a[2];
  if (!bind_args("add_node", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto borrow = ExclusiveBorrow::take<TxSlot>(self);
  if (!borrow) return nullptr;
  std::string label;
  if (!extract_str(a[0], "label", label) || !check_dict(a[1], "properties")) return nullptr;
  TxSlot& tx = value_of<TxSlot>(self);
  if (!tx) return raise(PyExc_RuntimeError, kClosed);
  auto props = py_dict_to_properties(a[1], kTransactionValues);
  if (!props) return nullptr;

  Node node{Uuid::new_v4(), std::move(label), std::move(*props), NodeKind::Individual};
  const std::string id = node.id.to_string();
  // At Serializable this may wait for the node's write lock.
  auto added = run_unlocked([&] { return tx->add_node(std::move(node)); });
  if (!added) return nullptr;
  if (!*added) return raise_db_error(added->error());
  return str_to_py(id);
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"source", true}, {"target", true}, {"edge_type", true}, {"properties", false}};
  PyObject* a[4];
  if (!bind_args("add_edge", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto borrow = ExclusiveBorrow::take<TxSlot>(self);
  if (!borrow) return nullptr;
  std::string source, target, edge_type;
  if (!extract_str(a[0], "source", source) || !extract_str(a[1], "target", target) ||
      !extract_str(a[2], "edge_type", edge_type)) {
    return nullptr;
  }
  PyObject* dict = a[3] == Py_None ? nullptr : a[3];
  if (dict && !check_dict(dict, "properties")) return nullptr;
  TxSlot& tx = value_of<TxSlot>(self);
  if (!tx) return raise(PyExc_RuntimeError, kClosed);
  auto from = parse_endpoint(source, "source");
  if (!from) return nullptr;
  auto to = parse_endpoint(target, "target");
  if (!to) return nullptr;

  Edge edge{Uuid::new_v4(), *from, *to, std::move(edge_type), {}};
  if (dict) {
    auto props = py_dict_to_properties(dict, kTransactionValues);
    if (!props) return nullptr;
    edge.properties = std::move(*props);
  }
  const std::string id = edge.id.to_string();
  // Buffering only: no lock, no runtime.
  if (auto added = tx->add_edge(std::move(edge)); !added) return raise_db_error(added.error());
  return str_to_py(id);
}

// commit and rollback: take the transaction out (closed from here on), then
// run `end` on it without the interpreter lock.
template <class End>
PyObject* finish_with(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      End end) {
  if (!bind_args(name, {}, args, nargsf, kwnames, nullptr)) return nullptr;
  auto borrow = ExclusiveBorrow::take<TxSlot>(self);
  if (!borrow) return nullptr;
  TxSlot tx = std::move(value_of<TxSlot>(self));
  if (!tx) return raise(PyExc_RuntimeError, kClosed);
  auto done = run_unlocked([&] { return end(std::move(tx)); });
  if (!done) return nullptr;
  if (!*done) return raise_db_error(done->error());
  Py_RETURN_NONE;
}

PyObject* commit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return finish_with(self, "commit", args, nargsf, kwnames,
                     [](TxSlot tx) { return transaction::Transaction::commit(std::move(tx)); });
}

PyObject* rollback(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return finish_with(self, "rollback", args, nargsf, kwnames,
                     [](TxSlot tx) { return transaction::Transaction::rollback_sync(std::move(tx)); });
}

PyObject* repr(PyObject* self) {
  auto borrow = SharedBorrow::take<TxSlot>(self);
  if (!borrow) return nullptr;
  return PyUnicode_FromString(value_of<TxSlot>(self) ? "<Transaction: active>" : "<Transaction: closed>");
}

PyMethodDef methods[] = {
    method_def<add_node>("add_node",
                         "add_node($self, label, properties)\n--\n\n"
                         "Add a node to the graph\n\n"
                         "Args:\n"
                         "    label: Node label (e.g., \"Person\")\n"
                         "    properties: Dict of node properties\n\n"
                         "Returns:\n"
                         "    str: The new node's UUID"),
    method_def<add_edge>("add_edge",
                         "add_edge($self, source, target, edge_type, properties=None)\n--\n\n"
                         "Add an edge between two nodes\n\n"
                         "Args:\n"
                         "    source: Source node UUID\n"
                         "    target: Target node UUID\n"
                         "    edge_type: Edge type (e.g., \"KNOWS\")\n"
                         "    properties: Optional dict of edge properties\n\n"
                         "Returns:\n"
                         "    str: The new edge's UUID"),
    method_def<commit>("commit", "commit($self)\n--\n\nCommit the transaction"),
    method_def<rollback>("rollback", "rollback($self)\n--\n\nRollback the transaction"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Transaction")},
    // freeing an open transaction rolls it back: its node locks go, nothing is written
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_unique_unlocked<transaction::Transaction>)},
    {Py_tp_repr, slot_fn<repr>()},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Transaction",
    static_cast<int>(sizeof(Instance<TxSlot>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* transaction_type() { return cached_type(g_type, &spec); }

PyObject* wrap_transaction(std::unique_ptr<transaction::Transaction> tx) {
  return wrap_unique(transaction_type(), std::move(tx));
}

}  // namespace zudizid::python
