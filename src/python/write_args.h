// Argument checks shared by the write methods of `Transaction` and
// `BulkLoader`. Each raises and returns false / nullopt on failure.
#pragma once

#include <optional>
#include <string_view>

#include "common/uuid.h"
#include "python/py.h"

namespace zudizid::python {

// `obj` must be a dict (or a subclass); otherwise TypeError with the note
// "while processing '<param>'".
bool check_dict(PyObject* obj, const char* param);

// The id of an edge endpoint; ValueError "Invalid <which> UUID: <why>" when
// the text is not a UUID. `which` is "source" or "target".
std::optional<common::Uuid> parse_endpoint(std::string_view text, const char* which);

}  // namespace zudizid::python
