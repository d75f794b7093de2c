// What the binding's messages say of Python objects and of the exception being raised.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace tyx::py {

// Whether the exception being raised reaches the caller as it is instead of being described in
// a TyxError: Python's own control flow (KeyboardInterrupt, SystemExit, any exception that is not
// an Exception) and MemoryError, which says that memory ran out, not what was wrong with a value.
inline bool exception_goes_through() {
    return PyErr_Occurred() != nullptr &&
           (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError));
}

// The qualified name of an object's type, as the module's messages show it.
std::string type_qualname(PyObject* value);
// A str as UTF-8 text; false with the encoding error set for a lone surrogate.
bool utf8_of(PyObject* text, std::string& out);
// The text of the exception being raised, as "{type}: {str}", and the exception cleared.
std::string take_error_description();
// The same for an exception that exception_goes_through() does not let through; one that it does,
// also when str() of the exception raises it, is no failure to describe: it stays raised, to
// reach the caller unchanged, and nothing is returned.
std::optional<std::string> take_exception_description();

}  // namespace tyx::py
