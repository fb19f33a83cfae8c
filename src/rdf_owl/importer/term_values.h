// What the importer reads out of a term text (see turtle_reader.h for the
// forms).
//
// local_name: the name a term contributes to class and property names:
//   "<...#x>" -> "x", "<.../x>" -> "x" (the part after the last "#", else
//   after the last "/", else the whole inner text); "p:x" -> "x" (after the
//   first ":"); anything else itself. Both may be empty.
//
// literal_value: the property value of an object term:
//   "text" and "text"@lang           String of the text
//   "lex"^^<xsd integer types>       Int when it fits, else String of lex
//   "lex"^^<xsd decimal/double/float> Float (also INF, -INF, NaN for double
//                                    and float), else String of lex
//   "lex"^^<xsd:boolean>             Bool for true/false/1/0, else String
//   "lex"^^<any other datatype>      String of lex
//   bare 42 / -3.5 / 1e3 / true      Int (when it fits), Float, Bool
//   any other term (IRI, name, blank) String of its text
// XSD datatypes are recognised as full IRIs and, when their prefix was not
// declared, as "xsd:" names.
#pragma once

#include <string>
#include <string_view>

#include "storage/property_value.h"

namespace zudizid::rdf_owl::importer {

std::string local_name(std::string_view term);
PropertyValue literal_value(std::string_view term);

}  // namespace zudizid::rdf_owl::importer
