// The boundary between the interpreter and the extension's C++ code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "python/native_stack.h"

namespace tyx::py {

// Raises the extension's internal-failure exception, a class derived directly from
// BaseException so that an `except Exception` clause does not swallow a broken invariant.
void raise_internal_failure(const char* description);

// Wraps an entry point so that no C++ exception ever unwinds into the interpreter's frames: it
// becomes a Python exception and the entry point's failure value. Every entry point first
// prepares its calling thread (see prepare_calling_thread); one that cannot fail, a deallocator,
// only makes the thread's storage exist.
//
// One unwind is not an exception and goes on through: the one by which an interpreter that is
// finalizing ends a daemon thread that takes the lock again (pthread_exit, on CPython 3.11 to
// 3.13), inside the entry point or in Python code it runs. So no frame between the interpreter
// and the entry point's calls into Python is noexcept, and this is the one catch-all there.
template <auto Function>
struct Boundary;

template <class R, class... Args, R (*Function)(Args...)>
struct Boundary<Function> {
    static R call(Args... args) {
        if constexpr (std::is_void_v<R>) {
            prepare_thread_storage();
        } else if (!prepare_calling_thread()) {
            return failure();
        }
        try {
            return Function(args...);
#if defined(__GLIBCXX__)
        } catch (const abi::__forced_unwind&) {
            throw;
#endif
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            raise_internal_failure(error.what());
        } catch (...) {
            raise_internal_failure("unknown failure");
        }
        return failure();
    }

  private:
    static R failure() {
        if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else if constexpr (!std::is_void_v<R>) {
            return -1;
        }
    }
};

// The entry point as a slot pointer for a type spec or a method table.
template <auto Function>
void* slot() {
    return reinterpret_cast<void*>(&Boundary<Function>::call);
}

}  // namespace tyx::py
