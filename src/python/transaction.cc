// The Python class `Transaction`.
//
// Every method but the repr holds the object's exclusive borrow for its whole
// run, so a second call on the same object from another thread fails at once
// with "Already borrowed". Arguments are converted before the closed check;
// `commit` and `rollback` take the core transaction out first, so the object
// is closed whatever their outcome.
#include "python/transaction.h"

#include <fmt/format.h>

#include <string>

#include "python/args.h"
#include "python/blocking.h"
#include "python/convert.h"
#include "python/graph_call.h"
#include "python/pyclass.h"
#include "python/write_args.h"
#include "storage/node.h"
#include "transaction/transaction.h"

namespace zudizid::python {

namespace {

using TxSlot = std::unique_ptr<transaction::Transaction>;

constexpr const char* kClosed = "Transaction already committed or rolled back";

// The first kind that accepts the value: str, bool, 64-bit int, float, None,
// bytes-like. nullopt without an error set when none does; nullopt with an
// error set when the interpreter failed (e.g. a str that is not valid text).
std::optional<PropertyValue> tx_value(PyObject* v) {
  if (PyUnicode_Check(v)) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(v, &len);
    if (!utf8) return std::nullopt;
    return PropertyValue::string(std::string(utf8, static_cast<size_t>(len)));
  }
  if (PyBool_Check(v)) return PropertyValue::boolean(v == Py_True);
  long long i = PyLong_AsLongLong(v);
  if (!(i == -1 && PyErr_Occurred())) return PropertyValue::integer(i);
  PyErr_Clear();
  double d = PyFloat_AsDouble(v);
  if (!(d == -1.0 && PyErr_Occurred())) return PropertyValue::float64(d);
  PyErr_Clear();
  if (v == Py_None) return PropertyValue::null();
  if (PyBytes_Check(v)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(v));
    return PropertyValue::bytes(PropertyBytes(p, p + PyBytes_GET_SIZE(v)));
  }
  if (PyByteArray_Check(v)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(v));
    return PropertyValue::bytes(PropertyBytes(p, p + PyByteArray_GET_SIZE(v)));
  }
  if (PySequence_Check(v) && !PyDict_Check(v)) {
    if (auto bytes = sequence_bytes(v, ByteItems::IntOnly)) return PropertyValue::bytes(std::move(*bytes));
  }
  return std::nullopt;
}

// The property map of a dict, walked in its order over a snapshot of its
// items (value conversions may run Python code).
std::optional<PropertyMap> tx_properties(PyObject* dict) {
  PyRef items = PyRef::steal(PyDict_Items(dict));
  if (!items) return std::nullopt;
  PropertyMap out;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      raise_key_not_str(key);
      return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) return std::nullopt;
    std::string name(utf8, static_cast<size_t>(len));
    auto value = tx_value(PyTuple_GET_ITEM(pair, 1));
    if (!value) {
      if (!PyErr_Occurred()) raise(PyExc_TypeError, fmt::format("Unsupported property type for key '{}'", name));
      return std::nullopt;
    }
    out.insert_or_assign(std::move(name), std::move(*value));
  }
  return out;
}

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
  auto props = tx_properties(a[1]);
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
    auto props = tx_properties(dict);
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

constexpr int kMethod = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"add_node", method<add_node>(), kMethod,
     "add_node($self, label, properties)\n--\n\n"
     "Add a node to the graph\n\n"
     "Args:\n"
     "    label: Node label (e.g., \"Person\")\n"
     "    properties: Dict of node properties\n\n"
     "Returns:\n"
     "    str: The new node's UUID"},
    {"add_edge", method<add_edge>(), kMethod,
     "add_edge($self, source, target, edge_type, properties=None)\n--\n\n"
     "Add an edge between two nodes\n\n"
     "Args:\n"
     "    source: Source node UUID\n"
     "    target: Target node UUID\n"
     "    edge_type: Edge type (e.g., \"KNOWS\")\n"
     "    properties: Optional dict of edge properties\n\n"
     "Returns:\n"
     "    str: The new edge's UUID"},
    {"commit", method<commit>(), kMethod, "commit($self)\n--\n\nCommit the transaction"},
    {"rollback", method<rollback>(), kMethod, "rollback($self)\n--\n\nRollback the transaction"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Transaction")},
    // freeing an open transaction rolls it back: its node locks go, nothing is written
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_unique_unlocked<transaction::Transaction>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
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
