// Graph methods of the search group: `knn_nodes` and `search_hybrid`.
#include <fmt/format.h>

#include <cmath>
#include <string>
#include <vector>

#include "graph/hybrid/hybrid.h"
#include "graph/vector/hnsw_index.h"
#include "graph/vector/index_cache.h"
#include "graph/vector/live_search.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

namespace {

// A query the cosine distance can rank by: finite, squares finite, not all
// zeros (a zero query is at distance 0 from every vector, which ranks nothing).
bool check_query(const std::vector<float>& q) {
  if (auto bad = vantor::dist::DistCosine::check(q)) {
    raise(PyExc_ValueError, fmt::format("knn_nodes: query_vector: {}", *bad));
    return false;
  }
  for (float x : q) {
    if (x != 0.0f) return true;
  }
  raise(PyExc_ValueError, "knn_nodes: query_vector is a zero vector; the cosine distance cannot rank by it");
  return false;
}

PyObject* hits_to_py(const std::vector<graph::HnswIndex::Hit>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyRef id = PyRef::steal(str_to_py(hits[i].first.to_string()));
    if (!id) return nullptr;
    PyRef dist = PyRef::steal(PyFloat_FromDouble(static_cast<double>(hits[i].second)));
    if (!dist) return nullptr;
    PyObject* pair = PyTuple_Pack(2, id.get(), dist.get());
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* knn_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"query_vector", true}, {"k", true}, {"model", true}};
  PyObject* a[3] = {};
  if (!bind_args("knn_nodes", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  auto query = py_to_vector(a[0]);
  if (!query) {
    add_note_to_current("while processing 'query_vector'");
    return nullptr;
  }
  auto k_arg = extract_u64(a[1], "k");
  if (!k_arg) return nullptr;
  const uint64_t k = *k_arg;
  std::string model;
  if (!extract_str(a[2], "model", model)) return nullptr;
  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  if (!check_query(*query)) return nullptr;

  // The index (built on a cache miss), the search and the check that each
  // hit's node still exists all run without the interpreter lock. The
  // model's cached index answers exactly as a fresh build would: any store
  // of one of its embeddings drops it, so the next call rebuilds.
  return run_released(
      std::move(handle),
      [&](graph::Graph& g) -> DbResult<std::vector<graph::HnswIndex::Hit>> {
        auto index = graph::embedding_index_for_model(g, model);
        if (!index) return std::unexpected(std::move(index.error()));
        return graph::search_live_nodes(g, **index, *query, k, graph::kDefaultSearchEf);
      },
      [](const std::vector<graph::HnswIndex::Hit>& hits) { return hits_to_py(hits); });
}

constexpr const char* kKnnNodesDoc =
    "knn_nodes($self, query_vector, k, model)\n--\n\n"
    "Busca los k nodos más cercanos en el espacio de embeddings.\n"
    "\n"
    "Construye el índice HNSW para el modelo dado (en memoria),\n"
    "luego retorna los k vecinos más próximos al vector query.\n"
    "\n"
    "Args:\n"
    "    query_vector (list[float]): vector de consulta, de la dimensión del modelo.\n"
    "    k (int): número de vecinos a retornar.\n"
    "    model (str): nombre del modelo de embeddings.\n"
    "\n"
    "Returns:\n"
    "    list[tuple[str, float]]: Lista de (node_id, distancia_coseno) ordenada por similitud.\n"
    "\n"
    "Example:\n"
    "    >>> g.knn_nodes([0.1, 0.2, 0.3], 5, \"mini-lm\")\n"
    "    [('6f1c...', 0.0123), ...]\n";

// A present argument: given and not None.
bool present(PyObject* obj) { return obj != nullptr && obj != Py_None; }

bool extract_optional_str(PyObject* obj, const char* param, std::optional<std::string>& out) {
  if (!present(obj)) return true;
  std::string s;
  if (!extract_str(obj, param, s)) return false;
  out = std::move(s);
  return true;
}

PyObject* hybrid_hits_to_py(const std::vector<graph::hybrid::HybridHit>& hits) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  auto rank = [](const std::optional<uint64_t>& r) -> PyObject* {
    if (!r) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*r);
  };
  for (size_t i = 0; i < hits.size(); ++i) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyRef id = PyRef::steal(str_to_py(hits[i].node_id.to_string()));
    PyRef score = PyRef::steal(PyFloat_FromDouble(static_cast<double>(hits[i].score)));
    PyRef text_rank = PyRef::steal(rank(hits[i].text_rank));
    PyRef vector_rank = PyRef::steal(rank(hits[i].vector_rank));
    if (!id || !score || !text_rank || !vector_rank) return nullptr;
    if (PyDict_SetItemString(dict.get(), "node_id", id.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "score", score.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "text_rank", text_rank.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "vector_rank", vector_rank.get()) < 0) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* search_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"text", false},  {"vector", false}, {"model", false},
                                      {"k", false},     {"ef", false},     {"label", false},
                                      {"props", false}, {"text_index", false}, {"rrf_k", false}};
  PyObject* a[9] = {};
  if (!bind_args("search_hybrid", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;

  graph::hybrid::HybridRequest request;
  if (!extract_optional_str(a[0], "text", request.text)) return nullptr;
  std::optional<std::vector<float>> vector;
  if (present(a[1])) {
    vector = py_to_vector(a[1]);
    if (!vector) {
      add_note_to_current("while processing 'vector'");
      return nullptr;
    }
  }
  std::optional<std::string> model;
  if (!extract_optional_str(a[2], "model", model)) return nullptr;
  if (a[3] != nullptr) {
    auto k = extract_u64(a[3], "k");
    if (!k) return nullptr;
    request.k = *k;
  }
  if (present(a[4])) {
    auto ef = extract_u64(a[4], "ef");
    if (!ef) return nullptr;
    request.ef = *ef;
  }
  std::optional<std::string> label;
  if (!extract_optional_str(a[5], "label", label)) return nullptr;
  if (present(a[6]) && !PyDict_Check(a[6])) {
    raise(PyExc_TypeError, fmt::format("argument 'props': '{}' object cannot be converted to 'PyDict'",
                                       Py_TYPE(a[6])->tp_name));
    return nullptr;
  }
  if (!extract_optional_str(a[7], "text_index", request.text_index)) return nullptr;
  if (a[8] != nullptr) {
    double rrf_k = PyFloat_AsDouble(a[8]);
    if (rrf_k == -1.0 && PyErr_Occurred()) {
      add_note_to_current("while processing 'rrf_k'");
      return nullptr;
    }
    request.rrf_k = static_cast<float>(rrf_k);
  }
  std::shared_ptr<graph::Graph> handle = graph_handle(self);
  if (!handle) return nullptr;
  if (vector.has_value() != model.has_value()) {
    raise(PyExc_ValueError, "search_hybrid: `vector` and `model` must be given together or not at all");
    return nullptr;
  }
  if (vector) request.vector.emplace(std::move(*vector), std::move(*model));
  if (label || present(a[6])) {
    graph::hybrid::HybridFilter filter{std::move(label), {}};
    if (present(a[6])) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(a[6], &pos, &key, &value)) {
        std::string name;
        if (!extract_str(key, "key", name)) return nullptr;
        auto converted = py_to_property_value(value, kGraphValues, name);
        if (!converted) return nullptr;
        filter.props.emplace_back(std::move(name), std::move(*converted));
      }
    }
    request.filter = std::move(filter);
  }
  request.candidate_multiplier = 4;
  return run_released(
      std::move(handle), [&](graph::Graph& g) { return graph::hybrid::search_hybrid(g, request); },
      [](const std::vector<graph::hybrid::HybridHit>& hits) { return hybrid_hits_to_py(hits); });
}

constexpr const char* kSearchHybridDoc =
    "search_hybrid($self, text=None, vector=None, model=None, k=10, ef=None, label=None, props=None, "
    "text_index=None, rrf_k=60.0)\n--\n\n"
    "Hybrid search: Reciprocal Rank Fusion of full-text (Fendral) and vector\n"
    "(HNSW) retrieval, with an optional label/property filter.\n"
    "\n"
    "Args:\n"
    "    text (str, optional): full-text query (needs a fulltext index).\n"
    "    vector (list[float], optional): query vector (requires `model`).\n"
    "    model (str, optional): embedding model name (requires `vector`).\n"
    "    k (int): number of fused results (default 10).\n"
    "    ef (int, optional): HNSW ef_search (default 30).\n"
    "    label (str, optional): restrict to this node label.\n"
    "    props (dict, optional): restrict to these property equalities (AND).\n"
    "    text_index (str, optional): fulltext index name; auto-discovered if omitted.\n"
    "    rrf_k (float): RRF constant (default 60.0).\n"
    "\n"
    "Returns:\n"
    "    list[dict]: {node_id, score, text_rank, vector_rank}, best first.\n";

const PyMethodDef kVectorMethods[] = {
    method_def<knn_nodes>("knn_nodes", kKnnNodesDoc),
    method_def<search_hybrid>("search_hybrid", kSearchHybridDoc),
};

}  // namespace

std::span<const PyMethodDef> graph_vector_methods() { return kVectorMethods; }

}  // namespace zudizid::python
