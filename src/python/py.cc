#include "python/py.h"

namespace zudizid::python {

PyObject* raise(PyObject* type, std::string_view message) {
  PyErr_SetString(type, std::string(message).c_str());
  return nullptr;
}

void add_note_to_current(std::string_view note) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (value) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (text) {
      PyRef r = PyRef::steal(PyObject_CallMethod(value, "add_note", "O", text.get()));
      if (!r) PyErr_Clear();  // a note is best effort; keep the original error
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, tb);
}

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

PyObject* raise_fatal(const char* what) {
  // No C++ allocation: this runs in the frame that handles bad_alloc.
  PyErr_Format(PyExc_SystemError, "fatal error in the engine: %s", what);
  return nullptr;
}

}  // namespace zudizid::python
