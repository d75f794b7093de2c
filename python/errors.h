// TyxError, the conversion of core errors into it, and the outcome of a core call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/error.h"

namespace tyx::py {

// A new reference to the TyxError class, created on the first call; nullptr with an exception
// set when it could not be created.
PyObject* tyx_error_type();

// A new TyxError instance with `code` and `message` (used exactly as given), help and span None;
// nullptr with an exception set when the instance could not be built.
PyObject* new_tyx_error(std::string_view code, std::string_view message);
PyObject* invalid_options_error(std::string_view message);
PyObject* resource_limit_error(std::string_view message);
PyObject* internal_compiler_error();
// A new TyxError instance carrying the error's code, escaped message, help and span.
PyObject* convert_core_error(const CompileError& error);

// Raises an instance built by the functions above (or leaves their failure set); returns
// nullptr so that a caller can write `return raise_tyx_error(...)`.
std::nullptr_t raise_tyx_error(PyObject* instance);

// The core call failed in a way that is not a CompileError.
struct InternalFailure {};

// What a core call that ran without the interpreter lock hands back.
template <class Payload>
using CoreOutcome = std::variant<Payload, CompileError, InternalFailure>;

// The payload, or nothing with the outcome's TyxError raised. Called with the lock held again;
// the compile, check and lint functions each use it with their own payload type.
template <class Payload>
std::optional<Payload> convert_outcome(CoreOutcome<Payload>&& outcome) {
    if (auto* payload = std::get_if<0>(&outcome)) return std::move(*payload);
    if (auto* error = std::get_if<1>(&outcome)) {
        raise_tyx_error(convert_core_error(*error));
    } else {
        raise_tyx_error(internal_compiler_error());
    }
    return std::nullopt;
}

}  // namespace tyx::py
