// Graph methods: keyed, idempotent writes (`upsert`, `upsert_many`) and
// delete by business key (`delete`).
//
// Every argument and every request is converted and checked with the
// interpreter lock held, before the engine runs: a malformed request
// anywhere in an `upsert_many` list prevents every write of the call.
#include <fmt/format.h>

#include <optional>
#include <span>
#include <type_traits>
#include <string>
#include <vector>

#include "graph/embeddings.h"
#include "graph/upsert/upsert.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

using graph::upsert::UpsertEmbedding;
using graph::upsert::UpsertLink;
using graph::upsert::UpsertRequest;
using graph::upsert::UpsertResult;

constexpr const char* kVectorModelPair = "upsert: provide both 'vector' and 'model', or neither";

void note_param(const char* param) { add_note_to_current(fmt::format("while processing '{}'", param)); }

// A method argument that must be a dict (or subclass).
bool extract_dict_arg(PyObject* obj, const char* param) {
  if (PyDict_Check(obj)) return true;
  raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to 'PyDict'", type_name(obj)));
  note_param(param);
  return false;
}

// A method argument that must be a list (or subclass); a tuple is not.
bool extract_list_arg(PyObject* obj, const char* param) {
  if (PyList_Check(obj)) return true;
  raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to 'PyList'", type_name(obj)));
  note_param(param);
  return false;
}

std::optional<std::vector<float>> extract_vector_arg(PyObject* obj, const char* param) {
  auto v = py_to_vector(obj);
  if (!v) note_param(param);
  return v;
}

// Text taken out of a request or link dict; the error names the expected type.
bool item_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to 'PyString'", type_name(obj)));
    return false;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!utf8) return false;
  out.assign(utf8, static_cast<size_t>(len));
  return true;
}

// Looks `name` up in `dict` without running subclass hooks. Returns false
// with the lookup's own error raised; `found` stays empty when absent. The
// reference is owned: converting one item may run Python code that changes
// the dict.
bool dict_item(PyObject* dict, const char* name, PyRef& found) {
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key) return false;
  found = PyRef::borrow(PyDict_GetItemWithError(dict, key.get()));
  return found || !PyErr_Occurred();
}

// The item under `name`, or KeyError with `missing`.
PyRef required_item(PyObject* dict, const char* name, const std::string& missing) {
  PyRef found;
  if (!dict_item(dict, name, found)) return {};
  if (!found) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(missing.data(), static_cast<Py_ssize_t>(missing.size())));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
  }
  return found;
}

bool required_link_text(PyObject* link, const char* name, std::string& out) {
  PyRef value = required_item(link, name, fmt::format("link missing '{}'", name));
  return value && item_str(value.get(), out);
}

// Both given: the embedding; neither: none; one alone: ValueError. A vector
// the embedding store would refuse fails here too, before anything runs.
bool pair_vector_model(std::optional<std::vector<float>> vector, std::optional<std::string> model,
                       std::optional<UpsertEmbedding>& out) {
  if (vector.has_value() != model.has_value()) {
    raise(PyExc_ValueError, kVectorModelPair);
    return false;
  }
  if (!vector) return true;
  if (auto fault = graph::embedding_vector_fault(*vector)) {
    raise(PyExc_ValueError, *fault);
    return false;
  }
  out = UpsertEmbedding{std::move(*vector), std::move(*model)};
  return true;
}

std::optional<UpsertLink> parse_link(PyObject* item) {
  if (!PyDict_Check(item)) {
    raise(PyExc_TypeError, "each link must be a dict");
    return std::nullopt;
  }
  UpsertLink link;
  if (!required_link_text(item, "type", link.type) || !required_link_text(item, "target_label", link.target_label) ||
      !required_link_text(item, "target_key", link.target_key)) {
    return std::nullopt;
  }
  PyRef value = required_item(item, "target_key_value", "link missing 'target_key_value'");
  if (!value) return std::nullopt;
  auto key_value = py_to_property_value(value.get());
  if (!key_value) return std::nullopt;
  link.target_key_value = std::move(*key_value);

  PyRef props;
  if (!dict_item(item, "props", props)) return std::nullopt;
  if (props) {
    if (!PyDict_Check(props.get())) {
      raise(PyExc_TypeError, "link 'props' must be a dict");
      return std::nullopt;
    }
    auto map = py_dict_to_properties(props.get());
    if (!map) return std::nullopt;
    link.props = std::move(*map);
  }

  PyRef stub;
  if (!dict_item(item, "stub", stub)) return std::nullopt;
  // Only a real boolean asks for a stub; anything else (None, 1, "yes") does not.
  if (stub && (PyBool_Check(stub.get()) || is_numpy_bool(stub.get()))) {
    int truth = PyObject_IsTrue(stub.get());
    if (truth < 0) return std::nullopt;
    link.create_target_stub = truth != 0;
  }
  return link;
}

// `links` is a list or nullptr (no links).
std::optional<std::vector<UpsertLink>> parse_links(PyObject* links) {
  std::vector<UpsertLink> out;
  if (!links) return out;
  PyRef hold = PyRef::borrow(links);
  // By position up to the current length: a conversion hook may change the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(links, i));
    auto link = parse_link(item.get());
    if (!link) return std::nullopt;
    out.push_back(std::move(*link));
  }
  return out;
}

// One `upsert_many` item.
std::optional<UpsertRequest> parse_request(PyObject* item) {
  if (!PyDict_Check(item)) {
    raise(PyExc_TypeError, "upsert_many: each request must be a dict");
    return std::nullopt;
  }
  UpsertRequest req;
  PyRef label = required_item(item, "label", "request missing 'label'");
  if (!label || !item_str(label.get(), req.label)) return std::nullopt;
  PyRef key = required_item(item, "key", "request missing 'key'");
  if (!key || !item_str(key.get(), req.key)) return std::nullopt;
  PyRef props = required_item(item, "props", "request missing 'props'");
  if (!props) return std::nullopt;
  if (!PyDict_Check(props.get())) {
    raise(PyExc_TypeError, "'props' must be a dict");
    return std::nullopt;
  }
  auto map = py_dict_to_properties(props.get());
  if (!map) return std::nullopt;
  req.props = std::move(*map);

  PyRef vector_obj;
  if (!dict_item(item, "vector", vector_obj)) return std::nullopt;
  std::optional<std::vector<float>> vector;
  if (vector_obj && vector_obj.get() != Py_None) {
    vector = py_to_vector(vector_obj.get());
    if (!vector) return std::nullopt;
  }
  PyRef model_obj;
  if (!dict_item(item, "model", model_obj)) return std::nullopt;
  std::optional<std::string> model;
  if (model_obj && model_obj.get() != Py_None) {
    model.emplace();
    if (!item_str(model_obj.get(), *model)) return std::nullopt;
  }
  PyRef links_obj;
  if (!dict_item(item, "links", links_obj)) return std::nullopt;
  if (links_obj.get() == Py_None) links_obj = PyRef();
  if (links_obj && !PyList_Check(links_obj.get())) {
    raise(PyExc_TypeError, "'links' must be a list");
    return std::nullopt;
  }
  auto links = parse_links(links_obj.get());
  if (!links) return std::nullopt;
  req.links = std::move(*links);
  if (!pair_vector_model(std::move(vector), std::move(model), req.embedding)) return std::nullopt;
  return req;
}

PyObject* result_to_py(const UpsertResult& r) {
  std::string id = r.id.to_string();
  return Py_BuildValue("(s#s#)", graph::upsert::outcome_name(r.outcome).data(),
                       static_cast<Py_ssize_t>(graph::upsert::outcome_name(r.outcome).size()), id.data(),
                       static_cast<Py_ssize_t>(id.size()));
}

// The first refusal for its length among the requests' vectors, checked
// before anything is written (the store checks again).
DbResult<graph::LengthRefusal> first_length_refusal(const graph::Graph& g, std::span<const UpsertRequest> reqs) {
  for (const UpsertRequest& r : reqs) {
    if (!r.embedding) continue;
    auto refused = graph::check_node_embedding_length(g, r.embedding->model, r.embedding->vector.size());
    if (!refused || *refused) return refused;
  }
  return graph::LengthRefusal{};
}

// An upsert body's outcome: refused for a vector's length, or the result.
template <class T>
using Checked = std::pair<graph::LengthRefusal, T>;

template <class Upsert>
auto checked_upsert(const graph::Graph& g, std::span<const UpsertRequest> reqs, Upsert upsert)
    -> DbResult<Checked<typename std::invoke_result_t<Upsert>::value_type>> {
  auto refused = first_length_refusal(g, reqs);
  if (!refused) return std::unexpected(std::move(refused.error()));
  if (*refused) return Checked<typename std::invoke_result_t<Upsert>::value_type>{std::move(*refused), {}};
  auto done = upsert();
  if (!done) return std::unexpected(std::move(done.error()));
  return Checked<typename std::invoke_result_t<Upsert>::value_type>{std::nullopt, std::move(*done)};
}

// ValueError for a refused vector, else `to_py` of the result.
template <class T, class ToPy>
PyObject* checked_to_py(const Checked<T>& checked, ToPy to_py) {
  if (checked.first) return raise(PyExc_ValueError, *checked.first);
  return to_py(checked.second);
}

PyObject* results_to_py(const std::vector<UpsertResult>& results) { return list_to_py(results, result_to_py); }

PyObject* graph_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"label", true},   {"key", true},    {"props", true},
                                     {"vector", false}, {"model", false}, {"links", false}};
  PyObject* a[6];
  if (!bind_args("upsert", params, args, nargs, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;

  UpsertRequest req;
  if (!extract_str(a[0], "label", req.label) || !extract_str(a[1], "key", req.key)) return nullptr;
  if (!extract_dict_arg(a[2], "props")) return nullptr;
  std::optional<std::vector<float>> vector;
  if (a[3] && a[3] != Py_None) {
    vector = extract_vector_arg(a[3], "vector");
    if (!vector) return nullptr;
  }
  std::optional<std::string> model;
  if (a[4] && a[4] != Py_None) {
    model.emplace();
    if (!extract_str(a[4], "model", *model)) return nullptr;
  }
  PyObject* links = a[5] && a[5] != Py_None ? a[5] : nullptr;
  if (links && !extract_list_arg(links, "links")) return nullptr;

  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;

  auto props = py_dict_to_properties(a[2]);
  if (!props) return nullptr;
  req.props = std::move(*props);
  if (!pair_vector_model(std::move(vector), std::move(model), req.embedding)) return nullptr;
  auto parsed = parse_links(links);
  if (!parsed) return nullptr;
  req.links = std::move(*parsed);

  return run_released(
      std::move(handle),
      [&](graph::Graph& g) {
        return checked_upsert(g, {&req, 1}, [&] { return graph::upsert::upsert_one(g, req); });
      },
      [](const Checked<UpsertResult>& r) { return checked_to_py(r, result_to_py); });
}

PyObject* graph_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"requests", true}};
  PyObject* a[1];
  if (!bind_args("upsert_many", params, args, nargs, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  if (!extract_list_arg(a[0], "requests")) return nullptr;

  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;

  std::vector<UpsertRequest> reqs;
  {
    // No Python reference outlives this block: a thread ended while taking
    // the interpreter lock back unwinds without it (see GilRelease).
    PyRef requests = PyRef::borrow(a[0]);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(requests.get()); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(requests.get(), i));
      auto req = parse_request(item.get());
      if (!req) return nullptr;
      reqs.push_back(std::move(*req));
    }
  }

  return run_released(
      std::move(handle),
      [&](graph::Graph& g) { return checked_upsert(g, reqs, [&] { return graph::upsert::upsert_many(g, reqs); }); },
      [](const Checked<std::vector<UpsertResult>>& r) { return checked_to_py(r, results_to_py); });
}

PyObject* graph_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"label", true}, {"key", true}, {"value", true}};
  PyObject* a[3];
  if (!bind_args("delete", params, args, nargs, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  std::string label, key;
  if (!extract_str(a[0], "label", label) || !extract_str(a[1], "key", key)) return nullptr;

  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  auto value = py_to_property_value(a[2]);
  if (!value) return nullptr;

  return run_released(
      std::move(handle), [&](graph::Graph& g) { return graph::upsert::delete_by_key(g, label, key, *value); },
      [](const std::optional<Uuid>& id) -> PyObject* {
        if (!id) Py_RETURN_NONE;
        return str_to_py(id->to_string());
      });
}

constexpr const char* kUpsertDoc =
    "upsert($self, label, key, props, vector=None, model=None, links=None)\n--\n\n"
    "Idempotently write the desired state of a node keyed by `(label, key)`.\n\n"
    "Re-running the same upsert over unchanged data performs no writes.\n\n"
    "Args:\n"
    "    label (str): node label.\n"
    "    key (str): name of the identity property (must be present in `props`).\n"
    "    props (dict): full desired property map (includes the key property).\n"
    "    vector (list[float], optional): embedding vector (requires `model`).\n"
    "    model (str, optional): embedding model name (requires `vector`).\n"
    "    links (list[dict], optional): outgoing edges to reconcile. Each dict:\n"
    "        {\n"
    "            \"type\": str,\n"
    "            \"target_label\": str,\n"
    "            \"target_key\": str,\n"
    "            \"target_key_value\": Any,\n"
    "            \"props\": dict,          # optional\n"
    "            \"stub\": bool,           # optional\n"
    "        }\n\n"
    "Returns:\n"
    "    tuple[str, str]: (outcome, node_id) where outcome is\n"
    "    \"created\", \"updated\" or \"unchanged\".\n\n"
    "Example:\n"
    "    >>> g.upsert(\"Chunk\", \"key\", {\"key\": \"note:a\", \"path\": \"a.md\"})\n"
    "    ('created', '...')\n";

constexpr const char* kUpsertManyDoc =
    "upsert_many($self, requests)\n--\n\n"
    "Upsert many nodes. Each item is a dict with the same fields as `upsert`:\n"
    "    label, key, props, vector (optional), model (optional), links (optional).\n\n"
    "Returns:\n"
    "    list[tuple[str, str]]: (outcome, node_id) per item, in order.\n";

constexpr const char* kDeleteDoc =
    "delete($self, label, key, value)\n--\n\n"
    "Delete the node identified by a business key `(label, key, value)` \xe2\x80\x94 the\n"
    "counterpart of `upsert` for incremental reconciliation.\n\n"
    "Returns the deleted node id, or None if no node matched (idempotent).\n"
    "Raises if more than one node matches the key.\n\n"
    "Example:\n"
    "    >>> g.delete(\"Note\", \"key\", \"note:intro\")\n"
    "    '...'\n";

const PyMethodDef kUpsertMethods[] = {
    method_def<graph_upsert>("upsert", kUpsertDoc),
    method_def<graph_upsert_many>("upsert_many", kUpsertManyDoc),
    method_def<graph_delete>("delete", kDeleteDoc),
};

}  // namespace

std::span<const PyMethodDef> graph_upsert_methods() { return kUpsertMethods; }

}  // namespace zudizid::python
