#include "python/convert.h"

#include <cstring>

namespace zudizid::python {

namespace {

bool is_numpy_bool(PyObject* obj) { return std::strcmp(Py_TYPE(obj)->tp_name, "numpy.bool_") == 0 ||
                                           std::strcmp(Py_TYPE(obj)->tp_name, "numpy.bool") == 0; }

// Bytes from a sequence whose items are all ints 0..255; nullopt (no error
// set) when any item is not.
std::optional<PropertyBytes> sequence_bytes(PyObject* obj) {
  PyRef seq = PyRef::steal(PySequence_Fast(obj, ""));
  if (!seq) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  PropertyBytes out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (!PyLong_Check(item) || PyBool_Check(item)) return std::nullopt;
    long v = PyLong_AsLong(item);
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    if (v < 0 || v > 255) return std::nullopt;
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

}  // namespace

std::optional<PropertyValue> py_to_property_value(PyObject* obj) {
  if (obj == Py_None) return PropertyValue::null();
  if (PyBool_Check(obj)) return PropertyValue::boolean(obj == Py_True);
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth >= 0) return PropertyValue::boolean(truth != 0);
    PyErr_Clear();
  }
  // Strings and containers never convert to numbers; test them first only to
  // skip the numeric probes (which would fail on them anyway).
  if (!PyUnicode_Check(obj) && !PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
    long long i = PyLong_AsLongLong(obj);
    if (!(i == -1 && PyErr_Occurred())) return PropertyValue::integer(i);
    PyErr_Clear();
    double d = PyFloat_AsDouble(obj);
    if (!(d == -1.0 && PyErr_Occurred())) return PropertyValue::float64(d);
    PyErr_Clear();
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8) return PropertyValue::string(std::string(utf8, static_cast<size_t>(len)));
    PyErr_Clear();
  } else if (PyBytes_Check(obj)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
    return PropertyValue::bytes(PropertyBytes(p, p + PyBytes_GET_SIZE(obj)));
  } else if (PyByteArray_Check(obj)) {
    auto* p = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(obj));
    return PropertyValue::bytes(PropertyBytes(p, p + PyByteArray_GET_SIZE(obj)));
  } else if (PySequence_Check(obj) && !PyDict_Check(obj)) {
    if (auto bytes = sequence_bytes(obj)) return PropertyValue::bytes(std::move(*bytes));
  }
  raise(PyExc_TypeError, kUnsupportedValue);
  return std::nullopt;
}

std::optional<PropertyMap> py_dict_to_properties(PyObject* dict) {
  PropertyMap out;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  Py_ssize_t size = PyDict_GET_SIZE(dict);
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise(PyExc_TypeError, "'" + type_name(key) + "' object cannot be converted to 'str'");
      return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) return std::nullopt;
    // The value's conversion may run Python code; hold both alive meanwhile.
    PyRef hold_key = PyRef::borrow(key), hold_value = PyRef::borrow(value);
    std::string name(utf8, static_cast<size_t>(len));
    auto converted = py_to_property_value(value);
    if (!converted) return std::nullopt;
    if (PyDict_GET_SIZE(dict) != size) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      return std::nullopt;
    }
    out.insert_or_assign(std::move(name), std::move(*converted));
  }
  return out;
}

std::optional<std::vector<float>> py_to_vector(PyObject* obj) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
    return std::nullopt;
  }
  std::vector<float> out;
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) PyErr_Clear();
  else out.reserve(static_cast<size_t>(n));
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    double d = PyFloat_AsDouble(item.get());
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    out.push_back(static_cast<float>(d));  // nearest, ties to even; overflow to infinity
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

}  // namespace zudizid::python
