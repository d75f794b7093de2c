#include "python/errors.h"

#include "python/boundary.h"
#include "python/describe.h"
#include "python/error_mapping.h"
#include "python/once_cell.h"
#include "python/pyref.h"
#include "python/results.h"

namespace tyx::py {
namespace {

constexpr const char* kTyxErrorDoc =
    "Raised for every TYX compilation failure.\n\nCarries structured attributes: `code` (str), "
    "`message` (str), `help` (str | None),\nand `span` (Span | None). `str(err) == err.message`.";

constexpr const char* kInternalFailureDoc =
    "Raised when the extension breaks one of its own invariants.\n\nDerived from BaseException, "
    "so that `except Exception` does not hide the failure.";

PyObject* create_tyx_error_type() {
    PyObject* type = PyErr_NewExceptionWithDoc("_vorpel.TyxError", kTyxErrorDoc, nullptr, nullptr);
    if (type == nullptr) {
        std::string cause = take_error_description();
        PyErr_Format(PyExc_RuntimeError, "Failed to initialize new exception type. (%s)",
                     cause.c_str());
    }
    return type;
}

PyObject* internal_failure_type() {
    static OnceCell cell;
    return cell.get_or_create([] {
        return PyErr_NewExceptionWithDoc("_vorpel.InternalFailure", kInternalFailureDoc,
                                         PyExc_BaseException, nullptr);
    });
}

// Sets one attribute; a failure is dropped so that the next attribute is still attempted.
void set_attribute(PyObject* instance, const char* name, PyObject* value) {
    if (value == nullptr || PyObject_SetAttrString(instance, name, value) < 0) PyErr_Clear();
}

// The texts of an error quote paths and template text; an ill-formed byte among them reads as
// U+FFFD, so that a core error always becomes a TyxError and never a UnicodeDecodeError.
PyObject* error_text(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* new_instance(std::string_view message) {
    PyRef type(tyx_error_type());
    if (!type) return nullptr;
    PyRef text(error_text(message));
    if (!text) return nullptr;
    return PyObject_CallFunctionObjArgs(type.get(), text.get(), nullptr);
}

// Sets code, message, help and span in that order.
PyObject* fill_instance(PyObject* instance, std::string_view code, std::string_view message,
                        const std::optional<std::string>& help,
                        const std::optional<SpanRecord>& span) {
    if (instance == nullptr) return nullptr;
    set_attribute(instance, "code", PyRef(error_text(code)).get());
    set_attribute(instance, "message", PyRef(error_text(message)).get());
    set_attribute(instance, "help", help ? PyRef(error_text(*help)).get() : Py_None);
    PyRef span_object;
    if (span) {
        span_object = PyRef(new_span_object(*span));
        if (!span_object) PyErr_Clear();
    }
    set_attribute(instance, "span", span_object ? span_object.get() : Py_None);
    return instance;
}

}  // namespace

PyObject* tyx_error_type() {
    static OnceCell cell;
    PyObject* type = cell.get_or_create(create_tyx_error_type);
    return Py_XNewRef(type);
}

PyObject* new_tyx_error(std::string_view code, std::string_view message) {
    return fill_instance(new_instance(message), code, message, std::nullopt, std::nullopt);
}

PyObject* invalid_options_error(std::string_view message) {
    return new_tyx_error("tyx::invalid_options", message);
}

PyObject* resource_limit_error(std::string_view message) {
    return new_tyx_error("tyx::resource_limit", message);
}

PyObject* internal_compiler_error() {
    return new_tyx_error("tyx::internal", "internal compiler error");
}

PyObject* convert_core_error(const CompileError& error) {
    ErrorFields fields = describe_core_error(error);
    return fill_instance(new_instance(fields.message), fields.code, fields.message, fields.help,
                         fields.span);
}

std::nullptr_t raise_tyx_error(PyObject* instance) {
    if (instance != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
        Py_DECREF(instance);
    }
    return nullptr;
}

void raise_internal_failure(const char* description) {
    PyObject* type = internal_failure_type();
    if (type == nullptr) return;
    PyErr_SetString(type, description);
}

}  // namespace tyx::py
