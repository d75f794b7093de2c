#include "python/describe.h"

#include "python/pyref.h"

namespace tyx::py {

std::string type_qualname(PyObject* value) {
    PyRef name(PyType_GetQualName(Py_TYPE(value)));
    std::string out;
    if (!name || !utf8_of(name.get(), out)) {
        PyErr_Clear();
        return "?";
    }
    return out;
}

bool utf8_of(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

namespace {

// Describes and clears the exception being raised. With `let_through`, an exception that goes
// through, or one that describing it raised, is left raised and nothing is returned.
std::optional<std::string> describe_error(bool let_through) {
    auto lets_through = [&] { return let_through && exception_goes_through(); };
    if (lets_through()) return std::nullopt;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return "unknown error";
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type(type);
    PyRef owned_value(value);
    PyRef owned_traceback(traceback);
    std::string description = type_qualname(value) + ": ";
    PyRef text(PyObject_Str(value));
    std::string message;
    if (text && utf8_of(text.get(), message)) {
        description += message;
    } else if (lets_through()) {
        return std::nullopt;
    } else {
        PyErr_Clear();
    }
    return description;
}

}  // namespace

std::string take_error_description() {
    return *describe_error(false);
}

std::optional<std::string> take_exception_description() {
    return describe_error(true);
}

}  // namespace tyx::py
