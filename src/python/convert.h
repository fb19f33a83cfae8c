// Python values to the engine's values. All run with the interpreter lock
// held, keep no reference to their argument, and on failure leave a Python
// exception set and return nullopt (nothing partial survives).
//
// One conversion serves every method that takes property values; the
// methods differ only in the rules they pass (`ValueRules`):
//
//   Graph methods (upsert, delete):  kGraphValues
//   Transaction.add_node / add_edge: kTransactionValues
//   BulkLoader.add_node:             kLoaderValues
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "python/py.h"
#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::python {

// NumPy's boolean scalar (told apart by its type name, so NumPy need not be
// importable).
bool is_numpy_bool(PyObject* obj);

// Which objects besides bytes and bytearray give Bytes.
enum class BytesFrom {
  Nothing,      // no Bytes at all: bytes and bytearray are refused too
  IntItems,     // sequences whose items are all int objects 0..255
  IndexItems,   // sequences whose items all have __index__ with a value 0..255
};

// The TypeError raised for a value of no accepted kind.
enum class Refusal {
  Plain,     // "unsupported property value type (use str/int/float/bool/bytes/None)"
  ForKey,    // "Unsupported property type for key '<key>'"
  WithType,  // "Unsupported property type: <type __name__>. Supported: str, int, float, bool"
};

struct ValueRules {
  // NumPy's bool scalar gives Bool; otherwise it converts as the integer it
  // indexes as.
  bool numpy_bool_is_bool;
  BytesFrom bytes;
  // A str that is not valid text (lone surrogates) is refused like a value
  // of no accepted kind; otherwise the interpreter's UnicodeEncodeError is
  // raised.
  bool bad_text_refused;
  // A property map holding a NaN or an infinity is refused (ValueError with
  // the text the write-ahead log gives such a value); otherwise such a Float
  // is converted.
  bool finite_only;
  Refusal refusal;
};

inline constexpr ValueRules kGraphValues{true, BytesFrom::IndexItems, true, false, Refusal::Plain};
inline constexpr ValueRules kTransactionValues{false, BytesFrom::IntItems, false, true, Refusal::ForKey};
inline constexpr ValueRules kLoaderValues{false, BytesFrom::Nothing, false, true, Refusal::WithType};

// The first kind that accepts `obj`, in this order: None (Null); bool, and
// NumPy's bool where the rules say so (Bool); str (String); an integer that
// fits 64 bits (Int, via __index__); anything with a float conversion,
// integers beyond 64 bits included (Float, nearest); bytes, bytearray and
// the sequences the rules name (Bytes). Otherwise the rules' TypeError;
// `key` names the property in it.
std::optional<PropertyValue> py_to_property_value(PyObject* obj, const ValueRules& rules = kGraphValues,
                                                  std::string_view key = {});

// A dict with str keys, walked in its own order; the caller has checked that
// `dict` is a dict. A key that is not a str raises TypeError "'<type>' object
// cannot be converted to 'str'"; a conversion hook that changes the dict's
// keys fails the walk with RuntimeError.
std::optional<PropertyMap> py_dict_to_properties(PyObject* dict, const ValueRules& rules = kGraphValues);

// A non-str sequence of numbers, narrowed to 32-bit floats.
std::optional<std::vector<float>> py_to_vector(PyObject* obj);

}  // namespace zudizid::python
