// Graph methods of the nearest-neighbour group: `knn_nodes`.
#include <fmt/format.h>

#include <cmath>
#include <string>
#include <vector>

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

const PyMethodDef kMethods[] = {
    method_def<knn_nodes>("knn_nodes", kKnnNodesDoc),
};

}  // namespace

std::span<const PyMethodDef> graph_vector_methods() { return kMethods; }

}  // namespace zudizid::python
