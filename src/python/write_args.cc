#include "python/write_args.h"

#include <fmt/format.h>

namespace zudizid::python {

bool check_dict(PyObject* obj, const char* param) {
  if (PyDict_Check(obj)) return true;
  raise(PyExc_TypeError, fmt::format("'{}' object cannot be converted to 'dict'", type_name(obj)));
  add_note_to_current(fmt::format("while processing '{}'", param));
  return false;
}

std::optional<common::Uuid> parse_endpoint(std::string_view text, const char* which) {
  auto id = common::Uuid::parse(text);
  if (id) return *id;
  raise(PyExc_ValueError, fmt::format("Invalid {} UUID: {}", which, id.error()));
  return std::nullopt;
}

}  // namespace zudizid::python
