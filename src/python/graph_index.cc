// Graph methods over the secondary indexes: create (hash, B-tree or
// full-text, on one property of one label), drop by name, and list.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "graph/indexes.h"
#include "index/index_metadata.h"
#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

// The kind words callers may ask for, compared byte for byte. The taxonomy
// kind is built in and never created through here.
std::optional<index::IndexType> parse_index_type(std::string_view text) {
  if (text == "hash") return index::IndexType::Hash;
  if (text == "btree") return index::IndexType::BTree;
  if (text == "fulltext") return index::IndexType::FullText;
  return std::nullopt;
}

PyObject* create_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"label", true}, {"property", true}, {"index_type", false}};
  PyObject* bound[3];
  if (!bind_args("create_index", kParams, args, nargs, kwnames, bound)) return nullptr;
  std::string label, property, type_text = "hash";
  if (!extract_str(bound[0], "label", label)) return nullptr;
  if (!extract_str(bound[1], "property", property)) return nullptr;
  // Left out means "hash"; an explicit None is a wrong type like any other.
  if (bound[2] && !extract_str(bound[2], "index_type", type_text)) return nullptr;

  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  // The handle first: a closed graph reports that whatever the kind says.
  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  std::optional<index::IndexType> type = parse_index_type(type_text);
  if (!type) {
    return raise(PyExc_ValueError,
                 fmt::format("Invalid index type '{}'. Use 'hash', 'btree', or 'fulltext'", type_text));
  }
  // Refused here as a bad argument; the registry refuses it too, for its other callers.
  if (auto fault = index::index_definition_fault(label, property)) return raise(PyExc_ValueError, *fault);
  return run_released(
      std::move(handle), [&](graph::Graph& g) { return graph::create_index(g, label, property, *type); },
      [](std::string& name) { return str_to_py(name); });
}

PyObject* drop_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"index_name", true}};
  PyObject* bound[1];
  if (!bind_args("drop_index", kParams, args, nargs, kwnames, bound)) return nullptr;
  std::string name;
  if (!extract_str(bound[0], "index_name", name)) return nullptr;
  return call_blocking(self, [&](graph::Graph& g) { return graph::drop_index(g, name); }, none_to_py);
}

// Tuples (name, label, property, kind text), in the listing's order.
PyObject* metadata_to_py(const std::vector<index::IndexMetadata>& records) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    const index::IndexMetadata& m = records[i];
    PyObject* item = Py_BuildValue("(s#s#s#s#)", m.name.data(), static_cast<Py_ssize_t>(m.name.size()),
                                   m.label.data(), static_cast<Py_ssize_t>(m.label.size()), m.property.data(),
                                   static_cast<Py_ssize_t>(m.property.size()), index_type_name(m.index_type).data(),
                                   static_cast<Py_ssize_t>(index_type_name(m.index_type).size()));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* list_indexes(PyObject* self, PyObject*) {
  return call_blocking(
      self, [](graph::Graph& g) -> DbResult<std::vector<index::IndexMetadata>> { return graph::list_indexes(g); },
      [](std::vector<index::IndexMetadata>& records) { return metadata_to_py(records); });
}

const PyMethodDef kIndexMethods[] = {
    method_def<create_index>("create_index",
                             "create_index($self, label, property, index_type=\"hash\")\n--\n\n"
                             "Create an index on a property\n"
                             "\n"
                             "Args:\n"
                             "    label (str): Node label to index\n"
                             "    property (str): Property name to index\n"
                             "    index_type (str): Index type: 'hash', 'btree' or 'fulltext' (default: 'hash')\n"
                             "\n"
                             "Returns:\n"
                             "    str: Index name\n"
                             "\n"
                             "Example:\n"
                             "    >>> graph.create_index('Person', 'name')\n"
                             "    'Person_name'\n"
                             "    >>> graph.create_index('Person', 'age', 'btree')\n"
                             "    'Person_age'"),
    method_def<drop_index>("drop_index",
                           "drop_index($self, index_name)\n--\n\n"
                           "Drop an index\n"
                           "\n"
                           "Args:\n"
                           "    index_name (str): Name of the index to drop\n"
                           "\n"
                           "Example:\n"
                           "    >>> graph.drop_index('Person_name')"),
    method_def<list_indexes>("list_indexes",
                             "list_indexes($self)\n--\n\n"
                             "List all indexes\n"
                             "\n"
                             "Returns:\n"
                             "    list[tuple]: List of (name, label, property, type) tuples\n"
                             "\n"
                             "Example:\n"
                             "    >>> for name, label, prop, kind in graph.list_indexes():\n"
                             "    ...     print(f'{name}: {label}.{prop} [{kind}]')\n"
                             "    Person_name: Person.name [Hash]\n"
                             "    Person_age: Person.age [BTree]"),
};

}  // namespace

std::span<const PyMethodDef> graph_index_methods() { return kIndexMethods; }

}  // namespace zudizid::python
