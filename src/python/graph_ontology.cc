// Graph methods of the ontology group: `import_turtle`.
#include <string>

#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"
#include "rdf_owl/importer/import_turtle.h"

namespace zudizid::python {

namespace {

PyObject* stats_to_py(const rdf_owl::importer::ImportStats& stats) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, uint64_t> entries[] = {{"classes_added", stats.classes_added},
                                                       {"subclass_edges_added", stats.subclass_edges_added},
                                                       {"instances_added", stats.instances_added},
                                                       {"triples_skipped", stats.triples_skipped}};
  for (const auto& [key, count] : entries) {
    PyRef value = PyRef::steal(u64_to_py(count));
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* import_turtle(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"ttl_source", true}};
  PyObject* a[1] = {};
  if (!bind_args("import_turtle", kParams, args, nargsf, kwnames, a)) return nullptr;
  std::string text;
  if (!extract_str(a[0], "ttl_source", text)) return nullptr;
  return call_blocking(
      self, [&](graph::Graph& g) { return graph::import_turtle(g, text); },
      [](const rdf_owl::importer::ImportStats& stats) { return stats_to_py(stats); });
}

const PyMethodDef kOntologyMethods[] = {
    method_def<import_turtle>("import_turtle",
                              "import_turtle($self, ttl_source)\n--\n\n"
                              "Importa una fuente Turtle (OWL/RDF) en el grafo.\n\n"
                              "Registra las clases (owl:Class), la jerarqu\u00eda de subclases (rdfs:subClassOf)\n"
                              "y los individuos (rdf:type con una clase) en el grafo almacenado, y actualiza\n"
                              "el TaxonomyIndex, lo que habilita los predicados de consulta instanceOf y\n"
                              "subClassOf con inferencia transitiva.\n\n"
                              "Args:\n"
                              "    ttl_source (str): el contenido Turtle como cadena\n\n"
                              "Returns:\n"
                              "    dict: {\"classes_added\", \"subclass_edges_added\", \"instances_added\",\n"
                              "           \"triples_skipped\"}"),
};

}  // namespace

std::span<const PyMethodDef> graph_ontology_methods() { return kOntologyMethods; }

}  // namespace zudizid::python
