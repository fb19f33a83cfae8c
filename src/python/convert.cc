#include "python/convert.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "storage/db_error.h"

namespace zudizid::python {

bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

namespace {

// Bytes from a sequence whose items are all integers 0..255; nullopt (no
// error set) when it is not one.
std::optional<PropertyBytes> sequence_bytes(PyObject* obj, BytesFrom items) {
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
    bool integer = items == BytesFrom::IndexItems ? PyIndex_Check(item.get()) : PyLong_Check(item.get());
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

// The `__name__` of the value's type, or "unknown".
std::string type_short_name(PyObject* v) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(v)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* s = PyUnicode_AsUTF8(name.get())) return s;
  }
  PyErr_Clear();
  return "unknown";
}

std::nullopt_t refuse(PyObject* obj, const ValueRules& rules, std::string_view key) {
  switch (rules.refusal) {
    case Refusal::Plain:
      raise(PyExc_TypeError, "unsupported property value type (use str/int/float/bool/bytes/None)");
      break;
    case Refusal::ForKey:
      raise(PyExc_TypeError, fmt::format("Unsupported property type for key '{}'", key));
      break;
    case Refusal::WithType:
      raise(PyExc_TypeError,
            fmt::format("Unsupported property type: {}. Supported: str, int, float, bool", type_short_name(obj)));
      break;
  }
  return std::nullopt;
}

// The bytes of a bytes or bytearray object.
PropertyValue byte_string(PyObject* obj) {
  const bool is_bytes = PyBytes_Check(obj);
  auto* p = reinterpret_cast<const uint8_t*>(is_bytes ? PyBytes_AS_STRING(obj) : PyByteArray_AS_STRING(obj));
  const Py_ssize_t n = is_bytes ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj);
  return PropertyValue::bytes(PropertyBytes(p, p + n));
}

// ValueError with the write-ahead log's own refusal of the map, if it has one.
bool check_loggable(const PropertyMap& map) {
  auto ok = validate_properties_for_wal(map);
  if (ok) return true;
  raise(PyExc_ValueError, DbError::serialization("JSON serialize error: " + ok.error()).display());
  return false;
}

}  // namespace

std::optional<PropertyValue> py_to_property_value(PyObject* obj, const ValueRules& rules, std::string_view key) {
  if (obj == Py_None) return PropertyValue::null();
  if (PyBool_Check(obj)) return PropertyValue::boolean(obj == Py_True);
  if (rules.numpy_bool_is_bool && is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth >= 0) return PropertyValue::boolean(truth != 0);
    PyErr_Clear();
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8) return PropertyValue::string(std::string(utf8, static_cast<size_t>(len)));
    if (!rules.bad_text_refused) return std::nullopt;  // the encode error stays raised
    PyErr_Clear();
    return refuse(obj, rules, key);
  }
  const bool is_byte_string = PyBytes_Check(obj) || PyByteArray_Check(obj);
  // Byte strings never convert to numbers; skip the probes for them.
  if (!is_byte_string) {
    long long i = PyLong_AsLongLong(obj);
    if (!(i == -1 && PyErr_Occurred())) return PropertyValue::integer(i);
    PyErr_Clear();
    double d = PyFloat_AsDouble(obj);
    if (!(d == -1.0 && PyErr_Occurred())) return PropertyValue::float64(d);
    PyErr_Clear();
  }
  if (rules.bytes != BytesFrom::Nothing) {
    if (is_byte_string) return byte_string(obj);
    if (PySequence_Check(obj) && !PyDict_Check(obj)) {
      if (auto bytes = sequence_bytes(obj, rules.bytes)) return PropertyValue::bytes(std::move(*bytes));
    }
  }
  return refuse(obj, rules, key);
}

std::optional<PropertyMap> py_dict_to_properties(PyObject* dict, const ValueRules& rules) {
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
    auto converted = py_to_property_value(value, rules, name);
    if (!converted) return std::nullopt;
    if (PyDict_GET_SIZE(dict) != size) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      return std::nullopt;
    }
    out.insert_or_assign(std::move(name), std::move(*converted));
  }
  if (rules.finite_only && !check_loggable(out)) return std::nullopt;
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
