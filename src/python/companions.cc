// Type objects of the companion classes whose behaviour is not built yet:
// they carry their final names and documentation and cannot be instantiated.
// (Transaction and BulkLoader live in transaction.cc and bulk_loader.cc.)
#include "python/pyclass.h"

namespace zudizid::python {

namespace {

struct Pending {};  // the wrapped value of a class whose behaviour is not built yet

template <int N>
struct PlainType {
  static inline PyType_Slot slots[3];
  static inline PyType_Spec spec;
  static inline PyObject* cell = nullptr;

  static PyTypeObject* get(const char* name, const char* doc) {
    if (!cell) {
      int i = 0;
      if (doc && *doc) slots[i++] = {Py_tp_doc, const_cast<char*>(doc)};
      slots[i++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Pending>)};
      slots[i] = {0, nullptr};
      spec = {name, static_cast<int>(sizeof(Instance<Pending>)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    }
    return cached_type(cell, &spec);
  }
};

constexpr const char* kElReasonerDoc =
    "ELReasoner()\n"
    "--\n"
    "\n"
    "An OWL-EL reasoner for class hierarchy classification.\n"
    "\n"
    "Completion rules:\n"
    "    CR1 (transitivity): A \u2291 B, B \u2291 C  \u22a2  A \u2291 C\n"
    "    CR2 (conjunction):  A \u2291 B, A \u2291 C, B \u2293 C \u2291 D  \u22a2  A \u2291 D\n"
    "    CR3 (existential):  A \u2291 \u2203r.B, B \u2291 C, \u2203r.C \u2291 D  \u22a2  A \u2291 D\n"
    "\n"
    "Quick start:\n"
    "    from zudizid import ELReasoner\n"
    "    reasoner = ELReasoner()\n"
    "    reasoner.register_class(dog_id, \"Dog\")\n"
    "    reasoner.register_class(animal_id, \"Animal\")\n"
    "    reasoner.assert_subclass(dog_id, animal_id)\n"
    "    reasoner.classify_all()\n";

constexpr const char* kInferenceDoc =
    "A single inference derived by the EL reasoner.\n"
    "\n"
    "Attributes:\n"
    "    sub: UUID string of the subclass node\n"
    "    super_class: UUID string of the superclass node\n"
    "    rule: the completion rule that fired, one of \"CR1\", \"CR2\", \"CR3\"\n";

}  // namespace

PyTypeObject* zql_result_type() { return PlainType<1>::get("builtins.ZqlResult", "Python wrapper for unified ZQL result"); }
PyTypeObject* profile_result_type() { return PlainType<2>::get("builtins.ProfileResult", "Python wrapper for PROFILE result"); }
PyTypeObject* query_result_type() { return PlainType<3>::get("builtins.QueryResult", "Python wrapper for QueryResult"); }
PyTypeObject* el_reasoner_type() { return PlainType<6>::get("builtins.ELReasoner", kElReasonerDoc); }
PyTypeObject* inference_type() { return PlainType<7>::get("builtins.Inference", kInferenceDoc); }
PyTypeObject* result_iterator_type() { return PlainType<8>::get("builtins.PyResultIterator", nullptr); }

}  // namespace zudizid::python
