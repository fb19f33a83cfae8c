// The Python class `Transaction`: an explicit write transaction handed out by
// `Graph.begin_transaction`. It holds the core transaction until `commit` or
// `rollback` takes it; freeing an object whose transaction is still open
// rolls it back (nothing is written, its node locks are released).
#pragma once

#include <memory>

#include "python/py.h"

namespace zudizid::transaction {
class Transaction;
}

namespace zudizid::python {

// A new `Transaction` object owning `tx`; nullptr with the interpreter's
// error set when the object cannot be made (the transaction is then rolled
// back).
PyObject* wrap_transaction(std::unique_ptr<transaction::Transaction> tx);

}  // namespace zudizid::python
