// A process-wide object created once, on first use, under the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>

namespace tyx::py {

// Holds one object that lives until the process ends (a class object); it is never released.
// A thread that finds the cell empty waits for the creation without the interpreter lock, so a
// thread that holds the lock while another is creating the object cannot deadlock with it.
class OnceCell {
  public:
    // Returns a borrowed pointer to the object, calling `create` (with the interpreter lock held)
    // when no earlier call succeeded; nullptr with a Python exception set when `create` failed.
    template <class Create>
    PyObject* get_or_create(Create&& create) {
        if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
        PyThreadState* thread = PyEval_SaveThread();
        std::unique_lock lock(mutex_);
        PyEval_RestoreThread(thread);
        PyObject* object = object_.load(std::memory_order_acquire);
        if (object == nullptr) {
            object = create();
            if (object != nullptr) object_.store(object, std::memory_order_release);
        }
        return object;
    }

  private:
    std::atomic<PyObject*> object_{nullptr};
    std::mutex mutex_;
};

}  // namespace tyx::py
