// The classes ELReasoner and Inference: the EL reasoner of rdf_owl, used
// synchronously with the interpreter lock held (no graph, no runtime).
#include <fmt/format.h>

#include <optional>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/graph_call.h"
#include "python/method_def.h"
#include "python/pyclass.h"
#include "rdf_owl/el_reasoner.h"

namespace zudizid::python {

namespace {

using rdf_owl::ELReasoner;

struct InferenceValue {
  std::string sub;
  std::string super_class;
  std::string rule;
};

// ---- Inference

PyObject* text_attribute(PyObject* self, const std::string InferenceValue::*field) {
  auto borrow = SharedBorrow::take<InferenceValue>(self);
  if (!borrow) return nullptr;
  return str_to_py(value_of<InferenceValue>(self).*field);
}
PyObject* get_sub(PyObject* self, void*) { return text_attribute(self, &InferenceValue::sub); }
PyObject* get_super_class(PyObject* self, void*) { return text_attribute(self, &InferenceValue::super_class); }
PyObject* get_rule(PyObject* self, void*) { return text_attribute(self, &InferenceValue::rule); }

PyObject* inference_to_dict(PyObject* self, PyObject*) {
  auto borrow = SharedBorrow::take<InferenceValue>(self);
  if (!borrow) return nullptr;
  const InferenceValue& v = value_of<InferenceValue>(self);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (auto [key, text] : {std::pair{"sub", &v.sub}, {"super_class", &v.super_class}, {"rule", &v.rule}}) {
    PyRef item = PyRef::steal(str_to_py(*text));
    if (!item || PyDict_SetItemString(dict.get(), key, item.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* inference_repr(PyObject* self) {
  auto borrow = SharedBorrow::take<InferenceValue>(self);
  if (!borrow) return nullptr;
  const InferenceValue& v = value_of<InferenceValue>(self);
  return str_to_py(fmt::format("Inference(sub={}, super_class={}, rule={})", v.sub, v.super_class, v.rule));
}

PyGetSetDef inference_getset[] = {
    {"sub", reinterpret_cast<getter>(guarded<get_sub>), nullptr, "UUID string of the subclass node", nullptr},
    {"super_class", reinterpret_cast<getter>(guarded<get_super_class>), nullptr,
     "UUID string of the superclass node", nullptr},
    {"rule", reinterpret_cast<getter>(guarded<get_rule>), nullptr,
     "the completion rule that fired, one of \"CR1\", \"CR2\", \"CR3\"", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef inference_methods[] = {
    method_def<inference_to_dict>("to_dict",
                                  "to_dict($self)\n--\n\n"
                                  "Return the inference as a dict.\n\n"
                                  "Returns:\n"
                                  "    dict: {\"sub\": str, \"super_class\": str, \"rule\": str}"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kInferenceDoc =
    "A single inference derived by the EL reasoner.\n"
    "\n"
    "Attributes:\n"
    "    sub: UUID string of the subclass node\n"
    "    super_class: UUID string of the superclass node\n"
    "    rule: the completion rule that fired, one of \"CR1\", \"CR2\", \"CR3\"\n";

PyType_Slot inference_slots[] = {
    {Py_tp_doc, const_cast<char*>(kInferenceDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<InferenceValue>)},
    {Py_tp_repr, slot_fn<inference_repr>()},
    {Py_tp_methods, inference_methods},
    {Py_tp_getset, inference_getset},
    {0, nullptr},
};

PyType_Spec inference_spec = {
    "builtins.Inference",
    static_cast<int>(sizeof(Instance<InferenceValue>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    inference_slots,
};

PyObject* g_inference_type = nullptr;

PyObject* inferences_to_py(const std::vector<rdf_owl::Inference>& inferences) {
  PyTypeObject* type = inference_type();
  if (!type) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(inferences.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < inferences.size(); ++i) {
    const rdf_owl::Inference& inf = inferences[i];
    PyObject* item = new_instance(type, InferenceValue{inf.sub.to_string(), inf.super_class.to_string(),
                                                       std::string(rdf_owl::rule_name(inf.rule))});
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* ids_to_py(const std::vector<rdf_owl::ClassId>& ids) {
  std::vector<std::string> texts;
  texts.reserve(ids.size());
  for (const auto& id : ids) texts.push_back(id.to_string());
  return strings_to_py(texts);
}

// ---- ELReasoner

// What a malformed id does in a method: refuse it, or give the method's
// "nothing" answer.
enum class OnBadId { Refuse, Answer };

// A method's arguments as text, and its ids parsed (up to a malformed one).
struct Args {
  std::vector<std::string> texts;
  std::vector<rdf_owl::ClassId> ids;
  bool bad_id = false;
};

// Binds the arguments, takes the borrow, reads every argument as text and
// parses the ids (in this order), then runs `body(reasoner, args)`.
template <class Borrow, class Body>
PyObject* reasoner_call(PyObject* self, const char* method, std::span<const Param> params,
                        std::span<const bool> is_id, OnBadId on_bad, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames, Body&& body) {
  PyObject* bound[3] = {};
  if (!bind_args(method, params, args, nargsf, kwnames, bound)) return nullptr;
  auto borrow = Borrow::template take<ELReasoner>(self);
  if (!borrow) return nullptr;
  Args a;
  a.texts.resize(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    if (!extract_str(bound[i], params[i].name, a.texts[i])) return nullptr;
  }
  for (size_t i = 0; i < params.size(); ++i) {
    if (!is_id[i]) continue;
    auto id = rdf_owl::ClassId::parse(a.texts[i]);
    if (!id) {
      if (on_bad == OnBadId::Refuse) return raise(PyExc_ValueError, "Invalid UUID: " + a.texts[i]);
      a.bad_id = true;
      break;
    }
    a.ids.push_back(*id);
  }
  return body(value_of<ELReasoner>(self), a);
}

template <class Result>
PyObject* inferences_or_error(const Result& result) {
  if constexpr (std::is_same_v<Result, std::vector<rdf_owl::Inference>>) {
    return inferences_to_py(result);
  } else {
    if (!result) return raise(PyExc_RuntimeError, result.error().display());
    return inferences_to_py(*result);
  }
}

PyObject* register_class(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"node_id", true}, {"label", true}};
  static constexpr bool kIsId[] = {true, false};
  return reasoner_call<ExclusiveBorrow>(self, "register_class", kParams, kIsId, OnBadId::Refuse, args, nargsf, kwnames,
                                        [](ELReasoner& r, Args& a) {
                                          r.register_class(a.ids[0], a.texts[1]);
                                          Py_RETURN_NONE;
                                        });
}

PyObject* assert_subclass(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"sub", true}, {"super_class", true}};
  static constexpr bool kIsId[] = {true, true};
  return reasoner_call<ExclusiveBorrow>(
      self, "assert_subclass", kParams, kIsId, OnBadId::Refuse, args, nargsf, kwnames,
      [](ELReasoner& r, Args& a) { return inferences_or_error(r.assert_subclass(a.ids[0], a.ids[1])); });
}

PyObject* assert_conjunction(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"left", true}, {"right", true}, {"result", true}};
  static constexpr bool kIsId[] = {true, true, true};
  return reasoner_call<ExclusiveBorrow>(
      self, "assert_conjunction", kParams, kIsId, OnBadId::Refuse, args, nargsf, kwnames,
      [](ELReasoner& r, Args& a) { return inferences_or_error(r.assert_conjunction(a.ids[0], a.ids[1], a.ids[2])); });
}

PyObject* assert_existential(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"sub", true}, {"role", true}, {"filler", true}};
  static constexpr bool kIsId[] = {true, false, true};
  return reasoner_call<ExclusiveBorrow>(
      self, "assert_existential", kParams, kIsId, OnBadId::Refuse, args, nargsf, kwnames,
      [](ELReasoner& r, Args& a) { return inferences_or_error(r.assert_existential(a.ids[0], a.texts[1], a.ids[1])); });
}

PyObject* assert_existential_domain(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"role", true}, {"filler", true}, {"result", true}};
  static constexpr bool kIsId[] = {false, true, true};
  return reasoner_call<ExclusiveBorrow>(self, "assert_existential_domain", kParams, kIsId, OnBadId::Refuse, args,
                                        nargsf, kwnames, [](ELReasoner& r, Args& a) {
                                          return inferences_or_error(
                                              r.assert_existential_domain(a.texts[0], a.ids[0], a.ids[1]));
                                        });
}

PyObject* is_subclass_of(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"sub", true}, {"super_class", true}};
  static constexpr bool kIsId[] = {true, true};
  return reasoner_call<ExclusiveBorrow>(self, "is_subclass_of", kParams, kIsId, OnBadId::Answer, args, nargsf, kwnames,
                                        [](ELReasoner& r, Args& a) {
                                          return PyBool_FromLong(!a.bad_id && r.is_subclass_of(a.ids[0], a.ids[1]));
                                        });
}

PyObject* superclasses(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"node", true}};
  static constexpr bool kIsId[] = {true};
  return reasoner_call<SharedBorrow>(self, "superclasses", kParams, kIsId, OnBadId::Answer, args, nargsf, kwnames,
                                     [](ELReasoner& r, Args& a) {
                                       return a.bad_id ? PyList_New(0) : ids_to_py(r.superclasses(a.ids[0]));
                                     });
}

PyObject* subclasses(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"node", true}};
  static constexpr bool kIsId[] = {true};
  return reasoner_call<ExclusiveBorrow>(self, "subclasses", kParams, kIsId, OnBadId::Answer, args, nargsf, kwnames,
                                        [](ELReasoner& r, Args& a) {
                                          return a.bad_id ? PyList_New(0) : ids_to_py(r.subclasses(a.ids[0]));
                                        });
}

PyObject* classify_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  if (!bind_args("classify_all", {}, args, nargsf, kwnames, nullptr)) return nullptr;
  auto borrow = ExclusiveBorrow::take<ELReasoner>(self);
  if (!borrow) return nullptr;
  return inferences_to_py(value_of<ELReasoner>(self).classify_all());
}

PyObject* axiom_count(PyObject* self, PyObject*) {
  auto borrow = SharedBorrow::take<ELReasoner>(self);
  if (!borrow) return nullptr;
  return u64_to_py(value_of<ELReasoner>(self).axiom_count());
}

PyObject* derived_count(PyObject* self, PyObject*) {
  auto borrow = SharedBorrow::take<ELReasoner>(self);
  if (!borrow) return nullptr;
  return u64_to_py(value_of<ELReasoner>(self).derived_count());
}

PyObject* derived_inferences(PyObject* self, PyObject*) {
  auto borrow = SharedBorrow::take<ELReasoner>(self);
  if (!borrow) return nullptr;
  return inferences_to_py(value_of<ELReasoner>(self).derived_inferences());
}

PyObject* reasoner_repr(PyObject* self) {
  auto borrow = SharedBorrow::take<ELReasoner>(self);
  if (!borrow) return nullptr;
  const ELReasoner& r = value_of<ELReasoner>(self);
  return str_to_py(fmt::format("ELReasoner(axioms={}, derived={})", r.axiom_count(), r.derived_count()));
}

PyObject* reasoner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_GET_SIZE(args) > 0) || (kwargs && PyDict_GET_SIZE(kwargs) > 0)) {
    return raise(PyExc_TypeError, "ELReasoner() takes no arguments");
  }
  return new_instance(type, ELReasoner());
}

PyMethodDef reasoner_methods[] = {
    method_def<register_class>("register_class",
                               "register_class($self, node_id, label)\n--\n\n"
                               "Register a class.\n\n"
                               "Parameters:\n"
                               "    node_id (str): UUID of the class node\n"
                               "    label (str): the class name\n\n"
                               "Returns:\n"
                               "    None"),
    method_def<assert_subclass>("assert_subclass",
                                "assert_subclass($self, sub, super_class)\n--\n\n"
                                "Assert sub \u2291 super_class and apply CR1 incrementally.\n\n"
                                "Parameters:\n"
                                "    sub (str): UUID of the subclass\n"
                                "    super_class (str): UUID of the superclass\n\n"
                                "Returns:\n"
                                "    list[Inference]: the inferences newly derived"),
    method_def<assert_conjunction>("assert_conjunction",
                                   "assert_conjunction($self, left, right, result)\n--\n\n"
                                   "Assert left \u2293 right \u2291 result and apply CR2.\n\n"
                                   "Parameters:\n"
                                   "    left (str): UUID of the left conjunct\n"
                                   "    right (str): UUID of the right conjunct\n"
                                   "    result (str): UUID of the class the conjunction implies\n\n"
                                   "Returns:\n"
                                   "    list[Inference]: the inferences newly derived"),
    method_def<assert_existential>("assert_existential",
                                   "assert_existential($self, sub, role, filler)\n--\n\n"
                                   "Assert sub \u2291 \u2203role.filler and apply CR3.\n\n"
                                   "Parameters:\n"
                                   "    sub (str): UUID of the subclass\n"
                                   "    role (str): the role name\n"
                                   "    filler (str): UUID of the filler class\n\n"
                                   "Returns:\n"
                                   "    list[Inference]: the inferences newly derived"),
    method_def<assert_existential_domain>("assert_existential_domain",
                                          "assert_existential_domain($self, role, filler, result)\n--\n\n"
                                          "Assert \u2203role.filler \u2291 result and apply CR3.\n\n"
                                          "Parameters:\n"
                                          "    role (str): the role name\n"
                                          "    filler (str): UUID of the filler class\n"
                                          "    result (str): UUID of the implied class\n\n"
                                          "Returns:\n"
                                          "    list[Inference]: the inferences newly derived"),
    method_def<classify_all>("classify_all",
                             "classify_all($self)\n--\n\n"
                             "Apply CR1, CR2 and CR3 until nothing new follows.\n\n"
                             "Returns:\n"
                             "    list[Inference]: the inferences newly derived"),
    method_def<is_subclass_of>("is_subclass_of",
                               "is_subclass_of($self, sub, super_class)\n--\n\n"
                               "Whether sub is a subclass of super_class, asserted or derived.\n\n"
                               "Parameters:\n"
                               "    sub (str): UUID of the subclass\n"
                               "    super_class (str): UUID of the superclass\n\n"
                               "Returns:\n"
                               "    bool"),
    method_def<superclasses>("superclasses",
                             "superclasses($self, node)\n--\n\n"
                             "Every asserted superclass of a class, transitively.\n\n"
                             "Parameters:\n"
                             "    node (str): UUID of the class\n\n"
                             "Returns:\n"
                             "    list[str]: UUIDs"),
    method_def<subclasses>("subclasses",
                           "subclasses($self, node)\n--\n\n"
                           "Every asserted subclass of a class, transitively.\n\n"
                           "Parameters:\n"
                           "    node (str): UUID of the class\n\n"
                           "Returns:\n"
                           "    list[str]: UUIDs"),
    method_def<axiom_count>("axiom_count",
                            "axiom_count($self)\n--\n\n"
                            "Number of asserted subclass links.\n\n"
                            "Returns:\n"
                            "    int"),
    method_def<derived_count>("derived_count",
                              "derived_count($self)\n--\n\n"
                              "Number of derived subclass pairs.\n\n"
                              "Returns:\n"
                              "    int"),
    method_def<derived_inferences>("derived_inferences",
                                   "derived_inferences($self)\n--\n\n"
                                   "Every derived pair, reported with rule CR1.\n\n"
                                   "Returns:\n"
                                   "    list[Inference]"),
    {nullptr, nullptr, 0, nullptr},
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

PyType_Slot reasoner_slots[] = {
    {Py_tp_doc, const_cast<char*>(kElReasonerDoc)},
    {Py_tp_new, slot_fn<reasoner_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ELReasoner>)},
    {Py_tp_repr, slot_fn<reasoner_repr>()},
    {Py_tp_methods, reasoner_methods},
    {0, nullptr},
};

PyType_Spec reasoner_spec = {
    "builtins.ELReasoner",
    static_cast<int>(sizeof(Instance<ELReasoner>)),
    0,
    Py_TPFLAGS_DEFAULT,
    reasoner_slots,
};

PyObject* g_reasoner_type = nullptr;

}  // namespace

PyTypeObject* el_reasoner_type() { return cached_type(g_reasoner_type, &reasoner_spec); }
PyTypeObject* inference_type() { return cached_type(g_inference_type, &inference_spec); }

}  // namespace zudizid::python
