// Python values to the engine's values. All run with the interpreter lock
// held, keep no reference to their argument, and on failure leave a Python
// exception set and return nullopt (nothing partial survives).
#pragma once

#include <optional>
#include <vector>

#include "python/py.h"
#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::python {

inline constexpr const char* kUnsupportedValue = "unsupported property value type (use str/int/float/bool/bytes/None)";

// NumPy's boolean scalar (told apart by its type name, so NumPy need not be
// importable).
bool is_numpy_bool(PyObject* obj);

// Which items count as integers when a sequence is read as bytes.
enum class ByteItems { IntOnly, IndexProtocol };  // int objects / anything with __index__

// Bytes from a sequence whose items are all integers 0..255; nullopt (no
// error set) when it is not one.
std::optional<PropertyBytes> sequence_bytes(PyObject* obj, ByteItems items);

// None, bool (and NumPy's bool), int, float-convertible, str, bytes-like or a
// sequence of ints 0..255 -- in that order of preference.
std::optional<PropertyValue> py_to_property_value(PyObject* obj);

// A dict with str keys; the caller has checked that `dict` is a dict.
std::optional<PropertyMap> py_dict_to_properties(PyObject* dict);

// A non-str sequence of numbers, narrowed to 32-bit floats.
std::optional<std::vector<float>> py_to_vector(PyObject* obj);

}  // namespace zudizid::python
