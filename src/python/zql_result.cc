// ZqlResult, QueryResult and PyResultIterator. They never call the database:
// every member builds its answer from the object's own data with the
// interpreter lock held, and every property returns a new object.
#include "python/zql_result.h"

#include <fmt/format.h>

#include <optional>
#include <string>

#include "python/args.h"
#include "python/graph_call.h"
#include "python/method_def.h"
#include "python/pyclass.h"

namespace zudizid::python {

namespace {

using query::zql::executor::QueryResult;
using query::zql::executor::Row;
using query::zql::executor::StatementResult;

struct IteratorState {
  std::optional<QueryResult> snapshot;
  uint64_t position = 0;
};

// dict[key] = value (a new reference, consumed); false with an error set.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  PyRef k = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  return v && k && PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

PyObject* row_to_py(const QueryResult& q, size_t i) {
  const Row& row = q.rows[i];
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const std::string& key, const PropertyValue& value) {
    return set_item(dict.get(), key, property_value_to_py(value));
  };
  if (q.columns.size() == 1 && q.columns[0] == "*") {
    for (const auto& [key, value] : row) {
      if (!put(key, value)) return nullptr;
    }
  } else {
    for (const std::string& column : q.columns) {
      auto it = row.find(column);
      if (it != row.end() && !put(column, it->second)) return nullptr;
    }
  }
  return dict.release();
}

PyObject* new_iterator(std::optional<QueryResult> snapshot) {
  PyTypeObject* type = result_iterator_type();
  if (!type) return nullptr;
  return new_instance(type, IteratorState{std::move(snapshot), 0});
}

// r[i] / q[i] after the kind test: the index protocol, the bound, the row.
PyObject* row_at(const QueryResult& q, PyObject* key) {
  auto i = extract_u64(key, "index");
  if (!i) return nullptr;
  if (*i >= q.rows.size()) return raise(PyExc_IndexError, "Index out of range");
  return row_to_py(q, static_cast<size_t>(*i));
}

// ---- ZqlResult

const StatementResult* zql_of(PyObject* self) { return &value_of<StatementResult>(self); }

template <class F>
PyObject* with_zql(PyObject* self, F&& f) {
  auto borrow = SharedBorrow::take<StatementResult>(self);
  if (!borrow) return nullptr;
  return f(*zql_of(self));
}

PyObject* zql_kind(PyObject* self, void*) {
  return with_zql(self, [](const StatementResult& r) { return str_to_py(r.kind_name()); });
}
PyObject* zql_summary(PyObject* self, void*) {
  return with_zql(self, [](const StatementResult& r) { return str_to_py(r.summary()); });
}
PyObject* zql_query(PyObject* self, void*) {
  return with_zql(self, [](const StatementResult& r) -> PyObject* {
    if (!r.query_result()) return none_to_py();
    PyTypeObject* type = query_result_type();
    return type ? new_instance(type, *r.query_result()) : nullptr;
  });
}
PyObject* zql_write(PyObject* self, void*) {
  return with_zql(self, [](const StatementResult& r) -> PyObject* {
    const auto* s = r.write_summary();
    if (!s) return none_to_py();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, uint64_t> counts[] = {
        {"nodes_created", s->nodes_created}, {"edges_created", s->edges_created},
        {"nodes_deleted", s->nodes_deleted}, {"edges_deleted", s->edges_deleted},
        {"nodes_updated", s->nodes_updated}, {"edges_updated", s->edges_updated},
        {"properties_changed", s->properties_changed},
    };
    for (const auto& [key, n] : counts) {
      if (!set_item(dict.get(), key, u64_to_py(n))) return nullptr;
    }
    if (!set_item(dict.get(), "created_ids", strings_to_py(s->created_ids))) return nullptr;
    return dict.release();
  });
}
PyObject* zql_explain(PyObject* self, void*) {
  return with_zql(self, [](const StatementResult& r) {
    auto plan = r.plan();
    return plan ? str_to_py(*plan) : none_to_py();
  });
}
PyObject* zql_profile(PyObject* self, void*) {
  // ProfileResult objects come with the PROFILE road; until then no result
  // has this kind.
  return with_zql(self, [](const StatementResult&) { return none_to_py(); });
}
PyObject* zql_message(PyObject* self, void*) {
  return with_zql(self, [](const StatementResult& r) {
    auto text = r.message_text();
    return text ? str_to_py(*text) : none_to_py();
  });
}

Py_ssize_t zql_len(PyObject* self) {
  auto borrow = SharedBorrow::take<StatementResult>(self);
  if (!borrow) return -1;
  const QueryResult* q = zql_of(self)->query_result();
  return q ? static_cast<Py_ssize_t>(q->rows.size()) : 0;
}

PyObject* zql_getitem(PyObject* self, PyObject* key) {
  return with_zql(self, [&](const StatementResult& r) -> PyObject* {
    auto i = extract_u64(key, "index");
    if (!i) return nullptr;
    const QueryResult* q = r.query_result();
    if (!q) {
      return raise(PyExc_TypeError,
                   fmt::format("ZqlResult of kind '{}' has no rows \u2014 use .write / .summary", r.kind_name()));
    }
    if (*i >= q->rows.size()) return raise(PyExc_IndexError, "Index out of range");
    return row_to_py(*q, static_cast<size_t>(*i));
  });
}

PyObject* zql_iter(PyObject* self) {
  return with_zql(self, [](const StatementResult& r) {
    return new_iterator(r.query_result() ? std::optional<QueryResult>(*r.query_result()) : std::nullopt);
  });
}

PyObject* zql_repr(PyObject* self) {
  return with_zql(self, [](const StatementResult& r) { return str_to_py(fmt::format("<ZqlResult: {}>", r.kind_name())); });
}

PyGetSetDef zql_getset[] = {
    {"kind", reinterpret_cast<getter>(guarded<zql_kind>), nullptr, nullptr, nullptr},
    {"summary", reinterpret_cast<getter>(guarded<zql_summary>), nullptr, nullptr, nullptr},
    {"query", reinterpret_cast<getter>(guarded<zql_query>), nullptr, nullptr, nullptr},
    {"write", reinterpret_cast<getter>(guarded<zql_write>), nullptr, nullptr, nullptr},
    {"explain", reinterpret_cast<getter>(guarded<zql_explain>), nullptr, nullptr, nullptr},
    {"profile", reinterpret_cast<getter>(guarded<zql_profile>), nullptr, nullptr, nullptr},
    {"message", reinterpret_cast<getter>(guarded<zql_message>), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot zql_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for unified ZQL result")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<StatementResult>)},
    {Py_tp_repr, slot_fn<zql_repr>()},
    {Py_tp_iter, slot_fn<zql_iter>()},
    {Py_tp_getset, zql_getset},
    {Py_sq_length, slot_fn<zql_len>()},
    {Py_mp_length, slot_fn<zql_len>()},
    {Py_mp_subscript, slot_fn<zql_getitem>()},
    {0, nullptr},
};
PyType_Spec zql_spec = {"builtins.ZqlResult", static_cast<int>(sizeof(Instance<StatementResult>)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, zql_slots};
PyObject* g_zql_type = nullptr;

// ---- QueryResult

template <class F>
PyObject* with_query(PyObject* self, F&& f) {
  auto borrow = SharedBorrow::take<QueryResult>(self);
  if (!borrow) return nullptr;
  return f(value_of<QueryResult>(self));
}

PyObject* query_columns(PyObject* self, void*) {
  return with_query(self, [](const QueryResult& q) { return strings_to_py(q.columns); });
}
Py_ssize_t query_len(PyObject* self) {
  auto borrow = SharedBorrow::take<QueryResult>(self);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(value_of<QueryResult>(self).rows.size());
}
PyObject* query_getitem(PyObject* self, PyObject* key) {
  return with_query(self, [&](const QueryResult& q) { return row_at(q, key); });
}
PyObject* query_iter(PyObject* self) {
  return with_query(self, [](const QueryResult& q) { return new_iterator(q); });
}
PyObject* query_repr(PyObject* self) {
  return with_query(self, [](const QueryResult& q) {
    return str_to_py(fmt::format("<QueryResult: {} rows, {} columns>", q.rows.size(), q.columns.size()));
  });
}

PyGetSetDef query_getset[] = {
    {"columns", reinterpret_cast<getter>(guarded<query_columns>), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot query_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for QueryResult")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<QueryResult>)},
    {Py_tp_repr, slot_fn<query_repr>()},
    {Py_tp_iter, slot_fn<query_iter>()},
    {Py_tp_getset, query_getset},
    {Py_sq_length, slot_fn<query_len>()},
    {Py_mp_length, slot_fn<query_len>()},
    {Py_mp_subscript, slot_fn<query_getitem>()},
    {0, nullptr},
};
PyType_Spec query_spec = {"builtins.QueryResult", static_cast<int>(sizeof(Instance<QueryResult>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, query_slots};
PyObject* g_query_type = nullptr;

// ---- PyResultIterator

PyObject* iterator_self(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* iterator_next(PyObject* self) {
  auto borrow = ExclusiveBorrow::take<IteratorState>(self);
  if (!borrow) return nullptr;
  IteratorState& it = value_of<IteratorState>(self);
  if (!it.snapshot || it.position >= it.snapshot->rows.size()) return nullptr;  // StopIteration
  PyObject* row = row_to_py(*it.snapshot, static_cast<size_t>(it.position));
  if (row) ++it.position;
  return row;
}

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<IteratorState>)},
    {Py_tp_iter, slot_fn<iterator_self>()},
    {Py_tp_iternext, slot_fn<iterator_next>()},
    {0, nullptr},
};
PyType_Spec iterator_spec = {"builtins.PyResultIterator", static_cast<int>(sizeof(Instance<IteratorState>)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, iterator_slots};
PyObject* g_iterator_type = nullptr;

}  // namespace

PyTypeObject* zql_result_type() { return cached_type(g_zql_type, &zql_spec); }
PyTypeObject* query_result_type() { return cached_type(g_query_type, &query_spec); }
PyTypeObject* result_iterator_type() { return cached_type(g_iterator_type, &iterator_spec); }

PyObject* new_zql_result(StatementResult result) {
  PyTypeObject* type = zql_result_type();
  return type ? new_instance(type, std::move(result)) : nullptr;
}

PyObject* property_value_to_py(const PropertyValue& v) {
  using Kind = PropertyValue::Kind;
  switch (v.kind()) {
    case Kind::Null: return none_to_py();
    case Kind::Bool: return PyBool_FromLong(v.as_bool());
    case Kind::Int: return PyLong_FromLongLong(v.as_int());
    case Kind::Float: return PyFloat_FromDouble(v.as_float());
    case Kind::String: return PyUnicode_FromStringAndSize(v.as_string().data(), static_cast<Py_ssize_t>(v.as_string().size()));
    case Kind::Bytes: {
      const auto& b = v.as_bytes();
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
    }
    case Kind::Object: {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [name, item] : v.as_object()) {
        if (!set_item(dict.get(), name, property_value_to_py(item))) return nullptr;
      }
      return dict.release();
    }
    case Kind::List: return list_to_py(v.as_list(), [](const PropertyValue& item) { return property_value_to_py(item); });
  }
  return none_to_py();
}

}  // namespace zudizid::python
