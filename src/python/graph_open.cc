// Opening and closing: the six static open methods, close and the context
// manager protocol of `Graph`.
#include <fmt/format.h>

#include <string>

#include "common/log.h"
#include "graph/close.h"
#include "graph/open.h"
#include "graph/profile.h"
#include "python/args.h"
#include "python/graph_call.h"
#include "python/graph_methods.h"
#include "python/method_def.h"

namespace zudizid::python {

// ASCII capitals folded to lower case; nothing else changes, no trimming.
static std::string fold_ascii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// The profile named by `text`, or nullopt with ValueError raised.
std::optional<graph::Profile> parse_profile(std::string_view text) {
  if (auto p = graph::parse_profile(fold_ascii(text))) return p;
  raise(PyExc_ValueError, fmt::format("Invalid profile '{}'. Use 'default', 'mobile', or 'server'", text));
  return std::nullopt;
}

// True for the one engine there is; false with ValueError raised otherwise.
bool check_engine(std::string_view text) {
  if (fold_ascii(text) == "kelm") return true;
  raise(PyExc_ValueError, fmt::format("Invalid engine '{}'. Use 'kelm'", text));
  return false;
}

namespace {

// Steps 3-8 of an open: the engine open with the interpreter lock released,
// then a fresh `Graph` owning the only reference to the handle.
template <class Open>
PyObject* open_graph_object(Open&& open) {
  auto opened = run_unlocked(std::forward<Open>(open));
  if (!opened) return nullptr;
  if (!*opened) return raise_db_error(opened->error());
  auto handle = std::make_shared<graph::Graph>(std::move(**opened));
  opened.reset();
  PyTypeObject* type = graph_type();
  if (!type) return nullptr;
  return new_instance_with<GraphSlot>(type, [&](GraphSlot& slot) { slot.handle = std::move(handle); });
}

// Binds `params` and converts each given argument to text; omitted ones keep
// the defaults already in `out`.
template <size_t N>
bool bind_texts(const char* function, const Param (&params)[N], PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames, std::string (&out)[N]) {
  PyObject* given[N];
  if (!bind_args(function, params, args, nargsf, kwnames, given)) return false;
  for (size_t i = 0; i < N; ++i) {
    if (given[i] && !extract_str(given[i], params[i].name, out[i])) return false;
  }
  return true;
}

PyObject* open(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"path", true}};
  std::string a[1];
  if (!bind_texts("open", kParams, args, nargsf, kwnames, a)) return nullptr;
  return open_graph_object([&] { return graph::open_graph(a[0], graph::Profile::Default); });
}

PyObject* open_with_profile(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"path", true}, {"profile", false}};
  std::string a[2] = {"", "default"};
  if (!bind_texts("open_with_profile", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto profile = parse_profile(a[1]);
  if (!profile) return nullptr;
  return open_graph_object([&] { return graph::open_graph(a[0], *profile); });
}

PyObject* open_with_options(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"path", true}, {"engine", false}, {"profile", false}};
  std::string a[3] = {"", "kelm", "default"};
  if (!bind_texts("open_with_options", kParams, args, nargsf, kwnames, a)) return nullptr;
  if (!check_engine(a[1])) return nullptr;
  auto profile = parse_profile(a[2]);
  if (!profile) return nullptr;
  return open_graph_object([&] { return graph::open_graph(a[0], *profile); });
}

PyObject* in_memory(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  if (!bind_args("in_memory", {}, args, nargsf, kwnames, nullptr)) return nullptr;
  return open_graph_object([] { return graph::open_in_memory(graph::Profile::Default); });
}

PyObject* in_memory_with_profile(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"profile", false}};
  std::string a[1] = {"default"};
  if (!bind_texts("in_memory_with_profile", kParams, args, nargsf, kwnames, a)) return nullptr;
  auto profile = parse_profile(a[0]);
  if (!profile) return nullptr;
  return open_graph_object([&] { return graph::open_in_memory(*profile); });
}

PyObject* in_memory_with_options(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"engine", false}, {"profile", false}};
  std::string a[2] = {"kelm", "default"};
  if (!bind_texts("in_memory_with_options", kParams, args, nargsf, kwnames, a)) return nullptr;
  if (!check_engine(a[0])) return nullptr;
  auto profile = parse_profile(a[1]);
  if (!profile) return nullptr;
  return open_graph_object([&] { return graph::open_in_memory(*profile); });
}

// Takes the handle out of the slot (the object is closed from here on) and
// runs the close steps without the interpreter lock. A second close finds
// the slot empty and returns None.
PyObject* close_object(PyObject* self) {
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  std::shared_ptr<graph::Graph> handle;
  {
    GraphSlot& slot = value_of<GraphSlot>(self);
    std::lock_guard lock(slot.mu);
    if (slot.poisoned) return raise(PyExc_RuntimeError, "Graph mutex poisoned");
    handle = std::move(slot.handle);
  }
  if (!handle) Py_RETURN_NONE;
  return run_released(
      std::move(handle), [](graph::Graph& g) { return graph::close_graph(g); },
      [] { return none_to_py(); });
}

PyObject* close(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  if (!bind_args("close", {}, args, nargsf, kwnames, nullptr)) return nullptr;
  return close_object(self);
}

PyObject* enter(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  if (!bind_args("__enter__", {}, args, nargsf, kwnames, nullptr)) return nullptr;
  auto borrow = SharedBorrow::take<GraphSlot>(self);
  if (!borrow) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr Param kParams[] = {{"_exc_type", true}, {"_exc_value", true}, {"_traceback", true}};
  PyObject* given[3];
  if (!bind_args("__exit__", kParams, args, nargsf, kwnames, given)) return nullptr;
  PyRef closed = PyRef::steal(close_object(self));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

#define PROFILE_LINE "profile: \"default\" | \"mobile\" | \"server\""
#define ENGINE_LINE "engine: \"kelm\""

const PyMethodDef kOpenMethods[] = {
    method_def<open>("open", "open(path)\n--\n\nOpen a graph database", Binding::Static),
    method_def<open_with_profile>(
        "open_with_profile",
        "open_with_profile(path, profile=\"default\")\n--\n\nOpen a graph database with runtime profile.\n\n" PROFILE_LINE,
        Binding::Static),
    method_def<open_with_options>("open_with_options",
                                  "open_with_options(path, engine=\"kelm\", profile=\"default\")\n--\n\n"
                                  "Open a graph database with explicit storage options.\n\n" ENGINE_LINE
                                  "\n" PROFILE_LINE,
                                  Binding::Static),
    method_def<in_memory>("in_memory", "in_memory()\n--\n\nCreate in-memory graph", Binding::Static),
    method_def<in_memory_with_profile>(
        "in_memory_with_profile",
        "in_memory_with_profile(profile=\"default\")\n--\n\nCreate in-memory graph with runtime profile.\n\n" PROFILE_LINE,
        Binding::Static),
    method_def<in_memory_with_options>("in_memory_with_options",
                                       "in_memory_with_options(engine=\"kelm\", profile=\"default\")\n--\n\n"
                                       "Create in-memory graph with explicit storage options.\n\n" ENGINE_LINE
                                       "\n" PROFILE_LINE,
                                       Binding::Static),
    method_def<close>("close",
                      "close($self)\n--\n\nClose the database\n\n"
                      "Takes the inner shared handle out of this object and releases it, so the\n"
                      "key-value engine can release its lock while the Python object is still\n"
                      "alive. Any later method call raises RuntimeError(\"Graph is closed\").\n\n"
                      "    graph = zudizid.Graph.open(\"my.db\")\n"
                      "    ...\n"
                      "    graph.close()"),
    method_def<enter>("__enter__", "__enter__($self)\n--\n\nEnter context manager"),
    method_def<exit>("__exit__", "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nExit context manager"),
};

}  // namespace

std::span<const PyMethodDef> graph_open_methods() { return kOpenMethods; }

}  // namespace zudizid::python
