// Graph methods over the schema cache: labels and edge types, the count and
// property names of one label or type, the whole cached schema as a dict, and
// an explicit rebuild. Answers are as of the cache's last rebuild; only
// `rebuild_schema` (or the first query after open) rescans the graph.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph/schema_queries.h"
#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

// ---- conversions (interpreter lock held; new references or nullptr)

PyObject* name_set_to_py(const std::unordered_set<std::string>& names) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& name : names) {
    PyRef s = PyRef::steal(str_to_py(name));
    if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* counts_to_py(const std::unordered_map<std::string, std::uint64_t>& counts) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, count] : counts) {
    PyRef k = PyRef::steal(str_to_py(name));
    PyRef v = PyRef::steal(u64_to_py(count));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* properties_to_py(const std::unordered_map<std::string, std::unordered_set<std::string>>& props) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, names] : props) {
    PyRef k = PyRef::steal(str_to_py(name));
    PyRef v = PyRef::steal(name_set_to_py(names));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

// The snapshot as a dict, keys inserted in this fixed order; each value is
// built just before its insertion, and the first failure ends the build.
PyObject* schema_to_py(const schema::SchemaInfo& s) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  bool ok = put("node_labels", strings_to_py(s.node_labels)) && put("edge_types", strings_to_py(s.edge_types)) &&
            put("node_counts", counts_to_py(s.node_counts)) && put("edge_counts", counts_to_py(s.edge_counts)) &&
            put("total_nodes", u64_to_py(s.total_nodes)) && put("total_edges", u64_to_py(s.total_edges)) &&
            put("node_properties", properties_to_py(s.node_properties)) &&
            put("edge_properties", properties_to_py(s.edge_properties));
  return ok ? dict.release() : nullptr;
}

// ---- the one-argument methods share their argument handling

// Binds the single required str parameter `param` of `method`.
bool one_str_arg(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::string& out) {
  const Param params[] = {{param, true}};
  PyObject* bound[1];
  if (!bind_args(method, params, args, nargs, kwnames, bound)) return false;
  return extract_str(bound[0], param, out);
}

PyObject* to_list(std::vector<std::string>& v) { return strings_to_py(v); }
PyObject* to_int(std::uint64_t n) { return u64_to_py(n); }

// ---- methods

PyObject* get_labels(PyObject* self, PyObject*) {
  return call_blocking(self, [](graph::Graph& g) { return graph::get_labels(g); }, to_list);
}

PyObject* get_edge_types(PyObject* self, PyObject*) {
  return call_blocking(self, [](graph::Graph& g) { return graph::get_edge_types(g); }, to_list);
}

PyObject* get_schema(PyObject* self, PyObject*) {
  return call_blocking(
      self, [](graph::Graph& g) { return graph::get_schema(g); },
      [](schema::SchemaInfo& s) { return schema_to_py(s); });
}

PyObject* get_label_properties(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string label;
  if (!one_str_arg("get_label_properties", "label", args, nargs, kwnames, label)) return nullptr;
  return call_blocking(self, [&](graph::Graph& g) { return graph::get_label_properties(g, label); }, to_list);
}

PyObject* get_label_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string label;
  if (!one_str_arg("get_label_count", "label", args, nargs, kwnames, label)) return nullptr;
  return call_blocking(self, [&](graph::Graph& g) { return graph::get_label_count(g, label); }, to_int);
}

PyObject* get_edge_type_properties(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string edge_type;
  if (!one_str_arg("get_edge_type_properties", "edge_type", args, nargs, kwnames, edge_type)) return nullptr;
  return call_blocking(self, [&](graph::Graph& g) { return graph::get_edge_type_properties(g, edge_type); },
                       to_list);
}

PyObject* get_edge_type_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string edge_type;
  if (!one_str_arg("get_edge_type_count", "edge_type", args, nargs, kwnames, edge_type)) return nullptr;
  return call_blocking(self, [&](graph::Graph& g) { return graph::get_edge_type_count(g, edge_type); }, to_int);
}

PyObject* rebuild_schema(PyObject* self, PyObject*) {
  return call_blocking(self, [](graph::Graph& g) { return graph::rebuild_schema(g); }, none_to_py);
}

const PyMethodDef kSchemaMethods[] = {
    method_def<get_labels>("get_labels",
                           "get_labels($self)\n--\n\n"
                           "Get all node labels in the graph\n"
                           "\n"
                           "Returns:\n"
                           "    list[str]: List of unique node labels\n"
                           "\n"
                           "Example:\n"
                           "    >>> labels = graph.get_labels()\n"
                           "    >>> print(labels)\n"
                           "    ['Person', 'Company', 'Product']"),
    method_def<get_edge_types>("get_edge_types",
                               "get_edge_types($self)\n--\n\n"
                               "Get all edge types in the graph\n"
                               "\n"
                               "Returns:\n"
                               "    list[str]: List of unique edge types\n"
                               "\n"
                               "Example:\n"
                               "    >>> types = graph.get_edge_types()\n"
                               "    >>> print(types)\n"
                               "    ['KNOWS', 'WORKS_AT']"),
    method_def<get_schema>("get_schema",
                           "get_schema($self)\n--\n\n"
                           "Get complete schema information\n"
                           "\n"
                           "Returns:\n"
                           "    dict: Schema information including labels, types, properties, and counts\n"
                           "\n"
                           "Example:\n"
                           "    >>> schema = graph.get_schema()\n"
                           "    >>> print(schema['node_labels'])\n"
                           "    ['Person', 'Company']\n"
                           "    >>> print(schema['node_counts'])\n"
                           "    {'Person': 100, 'Company': 10}"),
    method_def<get_label_properties>("get_label_properties",
                                     "get_label_properties($self, label)\n--\n\n"
                                     "Get properties for a specific node label\n"
                                     "\n"
                                     "Args:\n"
                                     "    label (str): The node label\n"
                                     "\n"
                                     "Returns:\n"
                                     "    list[str]: List of property names\n"
                                     "\n"
                                     "Example:\n"
                                     "    >>> props = graph.get_label_properties('Person')\n"
                                     "    >>> print(props)\n"
                                     "    ['name', 'age', 'email']"),
    method_def<get_label_count>("get_label_count",
                                "get_label_count($self, label)\n--\n\n"
                                "Get node count for a specific label\n"
                                "\n"
                                "Args:\n"
                                "    label (str): The node label\n"
                                "\n"
                                "Returns:\n"
                                "    int: Number of nodes with this label\n"
                                "\n"
                                "Example:\n"
                                "    >>> count = graph.get_label_count('Person')\n"
                                "    >>> print(f'There are {count} people')\n"
                                "    There are 100 people"),
    method_def<get_edge_type_properties>("get_edge_type_properties",
                                         "get_edge_type_properties($self, edge_type)\n--\n\n"
                                         "Get properties for a specific edge type\n"
                                         "\n"
                                         "Args:\n"
                                         "    edge_type (str): The edge type\n"
                                         "\n"
                                         "Returns:\n"
                                         "    list[str]: List of property names\n"
                                         "\n"
                                         "Example:\n"
                                         "    >>> props = graph.get_edge_type_properties('KNOWS')\n"
                                         "    >>> print(props)\n"
                                         "    ['since', 'strength']"),
    method_def<get_edge_type_count>("get_edge_type_count",
                                    "get_edge_type_count($self, edge_type)\n--\n\n"
                                    "Get edge count for a specific type\n"
                                    "\n"
                                    "Args:\n"
                                    "    edge_type (str): The edge type\n"
                                    "\n"
                                    "Returns:\n"
                                    "    int: Number of edges with this type\n"
                                    "\n"
                                    "Example:\n"
                                    "    >>> count = graph.get_edge_type_count('KNOWS')\n"
                                    "    >>> print(f'There are {count} KNOWS relationships')\n"
                                    "    There are 250 KNOWS relationships"),
    method_def<rebuild_schema>("rebuild_schema",
                               "rebuild_schema($self)\n--\n\n"
                               "Rebuild schema cache\n"
                               "\n"
                               "Use after bulk imports or major changes.\n"
                               "\n"
                               "Example:\n"
                               "    >>> graph.rebuild_schema()"),
};

}  // namespace

std::span<const PyMethodDef> graph_schema_methods() { return kSchemaMethods; }

}  // namespace zudizid::python
