// The one owning reference type for Python objects of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace tyx::py {

// Set by the module's atexit callback, which the interpreter runs shortly before it ends the
// daemon threads: it ends one that takes the lock again by unwinding its stack, without the
// lock (see Boundary). From then on a reference is left to the process's end instead of
// dropped, so that no unwinding frame frees a Python object without the lock. The flag is the
// whole process's, as the interpreter's exit is.
inline std::atomic<bool> interpreter_exit_began{false};

// Drops a strong reference (none for null) while the interpreter is not exiting.
inline void drop_reference(PyObject* object) {
    if (object != nullptr && !interpreter_exit_began.load(std::memory_order_acquire)) {
        Py_DECREF(object);
    }
}

// Owns one strong reference (or none); releasing it in the destructor makes every early return
// of a function that builds Python objects correct without further bookkeeping.
class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference, which may be null after a failed call.
    explicit PyRef(PyObject* object) : object_(object) {}
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef taken(std::move(other));
        std::swap(object_, taken.object_);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { drop_reference(object_); }

    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller, who becomes responsible for it.
    PyObject* release() { return std::exchange(object_, nullptr); }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace tyx::py
