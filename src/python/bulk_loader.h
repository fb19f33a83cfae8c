// The Python class `BulkLoader`, handed out by `Graph.bulk_loader`: buffers
// new nodes and edges and writes them in batches outside transactions.
//
// A failed flush loses nothing whose id was handed out: the batch stays
// buffered (only the entry of the add that failed is dropped), and a
// `finish` that fails leaves the loader active so that it can be retried.
#pragma once

#include <memory>

#include "python/py.h"

namespace zudizid::graph {
class BulkLoader;
}

namespace zudizid::python {

// A new `BulkLoader` object owning `loader`; nullptr with the interpreter's
// error set when the object cannot be made.
PyObject* wrap_bulk_loader(std::unique_ptr<graph::BulkLoader> loader);

}  // namespace zudizid::python
