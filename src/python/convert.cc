#include "python/convert.h"

#include <algorithm>
#include <cstring>

namespace zudizid::python {

bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

std::optional<PropertyBytes> sequence_bytes(PyObject* obj, ByteItems items) {
  PyRef seq = PyRef::steal(PySequence_Fast(obj, ""));
  if (!seq) {
    PyErr_Clear();
    return std::nullopt;
  }
  PropertyBytes out;
  out.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.get())));
  // Size and item re-read each step: an item's __index__ may change a list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    bool integer = items == ByteItems::IndexProtocol ? PyIndex_Check(item.get()) : PyLong_Check(item.get());
    if (!integer) return std::nullopt;
    long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    if (v < 0 || v > 255) return std::nullopt;
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

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
    if (auto bytes = sequence_bytes(obj, ByteItems::IndexProtocol)) return PropertyValue::bytes(std::move(*bytes));
  }
  raise(PyExc_TypeError, kUnsupportedValue);
  return std::nullopt;
}

std::optional<PropertyMap> py_dict_to_properties(PyObject* dict) {
  PropertyMap out;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t walked = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    // A conversion hook that swapped keys (same size) shows as more entries
    // than the dict held when the walk began.
    if (++walked > size) {
      raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
      return std::nullopt;
    }
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
  // The reported length only sizes the first allocation, and only up to a
  // bound: a length is the caller's claim, not a fact.
  constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) PyErr_Clear();
  else out.reserve(static_cast<size_t>(std::min(n, kMaxReserve)));
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
