// The thin C++ layer over the CPython C API that every binding file uses:
// owned references, raising exceptions with notes, and the interpreter-lock
// guard. No C++ exception ever crosses into the interpreter: every entry
// point returns nullptr (or -1) with a Python exception set instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace zudizid::python {

// An owned (strong) reference.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Sets `type` with `message`; returns nullptr so callers can `return raise(...)`.
PyObject* raise(PyObject* type, std::string_view message);

// Adds a note (BaseException.add_note) to the exception being raised.
void add_note_to_current(std::string_view note);

// Python type name of an object, for messages.
std::string type_name(PyObject* obj);

// Raises the binding layer's fatal-error exception (SystemError "fatal error
// in the engine: <what>") for a C++ exception that escaped the engine or the
// binding; returns nullptr. Never throws.
PyObject* raise_fatal(const char* what);

// Releases the interpreter lock for its lifetime. No Python object may be
// touched while it is alive.
//
// Taking the lock back ends the thread by `pthread_exit` when the
// interpreter is finalising; the forced unwind that follows starts in the
// destructor, which is therefore not `noexcept`. No ordinary exception may
// leave the released scope: the destructor must never run while another
// exception unwinds the stack (run_unlocked in graph_call.h catches them).
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace zudizid::python
