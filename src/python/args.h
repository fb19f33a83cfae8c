// Matching vectorcall arguments to a method's parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "python/py.h"

namespace zudizid::python {

struct Param {
  const char* name;
  bool required;
};

// Fills `out[i]` (borrowed references) for each parameter; parameters left
// out stay nullptr, so the caller applies the default. On a surplus, unknown,
// repeated or missing argument raises TypeError naming `function` and returns
// false.
bool bind_args(const char* function, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargsf,
               PyObject* kwnames, PyObject** out);

// Conversions of one argument; on failure they raise and add the note
// "while processing '<param>'".
bool extract_str(PyObject* obj, const char* param, std::string& out);
// An unsigned 64-bit integer from an int or any object with __index__
// (TypeError / OverflowError otherwise).
std::optional<std::uint64_t> extract_u64(PyObject* obj, const char* param);

}  // namespace zudizid::python
