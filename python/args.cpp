#include "python/args.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/display.h"
#include "core/format.h"
#include "core/value.h"
#include "python/describe.h"
#include "python/errors.h"
#include "python/json_convert.h"
#include "python/pyref.h"
#include "python/quoted.h"

namespace tyx::py {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Finds a parameter by keyword name; SIZE_MAX when the name is none of them.
size_t find_parameter(const Signature& signature, PyObject* keyword) {
    for (size_t i = 0; i < signature.positional.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.positional[i]) == 0) return i;
    }
    for (size_t i = 0; i < signature.keyword_only.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.keyword_only[i]) == 0) {
            return signature.positional.size() + i;
        }
    }
    return SIZE_MAX;
}

const char* parameter_name(const Signature& signature, size_t index) {
    return index < signature.positional.size()
               ? signature.positional[index]
               : signature.keyword_only[index - signature.positional.size()];
}

bool bind_positional(const Signature& signature, PyObject* const* args, size_t count,
                     BoundArguments& bound) {
    if (signature.parameter_count() > MAX_PARAMETERS) {
        PyErr_Format(PyExc_SystemError, "%s has more than %d parameters", signature.name,
                     static_cast<int>(MAX_PARAMETERS));
        return false;
    }
    if (count > signature.positional.size()) {
        raise_type_error(std::string(signature.name) + " takes " +
                         std::to_string(signature.positional.size()) +
                         " positional arguments but " + std::to_string(count) +
                         (count == 1 ? " was" : " were") + " given");
        return false;
    }
    for (size_t i = 0; i < count; ++i)
        bound.slots[i] = args[i];
    return true;
}

// A keyword's name as the messages show it, made safe for display: a NUL would also end the
// message. A name that is no UTF-8 text (it holds a lone surrogate) can name no parameter, so it
// is written with such characters as backslash escapes instead of failing the call with an
// encoding error.
bool keyword_name(PyObject* keyword, std::string& out) {
    if (!utf8_of(keyword, out)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        PyRef escaped(PyUnicode_AsEncodedString(keyword, "utf-8", "backslashreplace"));
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!escaped || PyBytes_AsStringAndSize(escaped.get(), &data, &size) < 0) return false;
        out.assign(data, static_cast<size_t>(size));
    }
    out = escape_for_display(std::move(out));
    return true;
}

// One keyword argument; positional-only names are collected for one message after the loop.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  BoundArguments& bound, std::vector<std::string>& positional_only_names) {
    size_t index = find_parameter(signature, keyword);
    // The name is written out only for a message: a keyword that names a parameter is ASCII, so
    // writing it out could not have failed.
    if (index != SIZE_MAX && index >= signature.positional_only && bound.slots[index] == nullptr) {
        bound.slots[index] = value;
        return true;
    }
    std::string name;
    if (!keyword_name(keyword, name)) return false;
    if (index == SIZE_MAX) {
        raise_type_error(std::string(signature.name) + " got an unexpected keyword argument '" +
                         name + "'");
        return false;
    }
    if (index < signature.positional_only) {
        positional_only_names.push_back(std::move(name));
        return true;
    }
    raise_type_error(std::string(signature.name) + " got multiple values for argument '" + name +
                     "'");
    return false;
}

bool finish_binding(const Signature& signature, const BoundArguments& bound,
                    const std::vector<std::string>& positional_only_names) {
    if (!positional_only_names.empty()) {
        raise_type_error(std::string(signature.name) +
                         " got some positional-only arguments passed as keyword arguments: " +
                         join_names(positional_only_names));
        return false;
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < signature.required; ++i) {
        if (bound.slots[i] == nullptr) missing.emplace_back(parameter_name(signature, i));
    }
    if (!missing.empty()) {
        raise_type_error(std::string(signature.name) + " missing " +
                         std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument: " : "arguments: ") +
                         join_names(missing));
        return false;
    }
    return true;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArguments& bound) {
    if (!bind_positional(signature, args, static_cast<size_t>(nargs), bound)) return false;
    std::vector<std::string> positional_only_names;
    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!bind_keyword(signature, PyTuple_GetItem(kwnames, i), args[nargs + i], bound,
                          positional_only_names)) {
            return false;
        }
    }
    return finish_binding(signature, bound, positional_only_names);
}

bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         BoundArguments& bound) {
    Py_ssize_t count = args == nullptr ? 0 : PyTuple_Size(args);
    if (count > static_cast<Py_ssize_t>(signature.positional.size())) {
        return bind_positional(signature, nullptr, static_cast<size_t>(count), bound);
    }
    PyObject* positional[MAX_PARAMETERS];
    for (Py_ssize_t i = 0; i < count; ++i)
        positional[i] = PyTuple_GetItem(args, i);
    if (!bind_positional(signature, positional, static_cast<size_t>(count), bound)) return false;
    std::vector<std::string> positional_only_names;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(signature, keyword, value, bound, positional_only_names)) {
                return false;
            }
        }
    }
    return finish_binding(signature, bound, positional_only_names);
}

void add_parameter_note(const char* parameter) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    std::string note = std::string("while processing '") + parameter + "'";
    PyRef added(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    // A note that cannot be added must not replace the error it was meant to explain.
    if (!added) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void raise_not_instance(PyObject* value, const char* expected, const char* parameter) {
    std::string message =
        value == Py_None ? std::string("'None'") : "'" + type_qualname(value) + "' object";
    message += std::string(" is not an instance of '") + expected + "'";
    raise_type_error(message);
    if (parameter != nullptr) add_parameter_note(parameter);
}

bool extract_text(PyObject* value, const char* parameter, std::string& out) {
    if (!PyUnicode_Check(value)) {
        raise_not_instance(value, "str", parameter);
        return false;
    }
    if (!utf8_of(value, out)) {
        add_parameter_note(parameter);
        return false;
    }
    return true;
}

bool extract_text_view(PyObject* value, const char* parameter, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        raise_not_instance(value, "str", parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        add_parameter_note(parameter);
        return false;
    }
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

bool extract_optional_text(PyObject* value, const char* parameter,
                           std::optional<std::string>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    std::string text;
    if (!extract_text(value, parameter, text)) return false;
    out = std::move(text);
    return true;
}

namespace {

// numpy's boolean scalar, recognised by name so that numpy need not be importable; nothing, with
// the exception still raised, when one that goes through stopped the test.
std::optional<bool> is_numpy_bool(PyObject* value) {
    PyRef name(PyType_GetName(Py_TYPE(value)));
    if (!name) {
        if (exception_goes_through()) return std::nullopt;
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return false;
    }
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__module__"));
    if (!module) {
        if (exception_goes_through()) return std::nullopt;
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool extract_bool(PyObject* value, const char* parameter, bool& out) {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    std::optional<bool> numpy_bool = is_numpy_bool(value);
    if (!numpy_bool) return false;
    if (!*numpy_bool) {
        raise_not_instance(value, "bool", parameter);
        return false;
    }
    PyRef truth(PyObject_CallMethod(value, "__bool__", nullptr));
    if (!truth) {
        add_parameter_note(parameter);
        return false;
    }
    if (truth.get() != Py_True && truth.get() != Py_False) {
        raise_not_instance(truth.get(), "bool", parameter);
        return false;
    }
    out = truth.get() == Py_True;
    return true;
}

bool extract_bool_or(PyObject* value, const char* parameter, bool fallback, bool& out) {
    if (value == nullptr) {
        out = fallback;
        return true;
    }
    return extract_bool(value, parameter, out);
}

bool extract_optional_bool(PyObject* value, const char* parameter, std::optional<bool>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    bool flag = false;
    if (!extract_bool(value, parameter, flag)) return false;
    out = flag;
    return true;
}

bool extract_path(PyObject* value, const char* parameter, std::string& out) {
    // os.fspath would refuse None too, but with a message unlike every other refused None.
    if (value == Py_None) {
        raise_not_instance(value, "str", parameter);
        return false;
    }
    PyRef path(PyOS_FSPath(value));
    if (!path) {
        add_parameter_note(parameter);
        return false;
    }
    if (!PyUnicode_Check(path.get())) {
        raise_not_instance(path.get(), "str", parameter);
        return false;
    }
    PyRef bytes(PyUnicode_EncodeFSDefault(path.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
        add_parameter_note(parameter);
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

bool extract_optional_path(PyObject* value, const char* parameter,
                           std::optional<std::string>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    std::string path;
    if (!extract_path(value, parameter, path)) return false;
    out = std::move(path);
    return true;
}

bool extract_u64(PyObject* value, const char* parameter, uint64_t& out) {
    PyRef index = PyLong_Check(value) ? PyRef::borrow(value) : PyRef(PyNumber_Index(value));
    if (!index) {
        add_parameter_note(parameter);
        return false;
    }
    unsigned long long number = PyLong_AsUnsignedLongLong(index.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_parameter_note(parameter);
        return false;
    }
    out = number;
    return true;
}

bool extract_optional_u64(PyObject* value, const char* parameter, std::optional<uint64_t>& out) {
    if (value == nullptr || value == Py_None) {
        out.reset();
        return true;
    }
    uint64_t number = 0;
    if (!extract_u64(value, parameter, number)) return false;
    out = number;
    return true;
}

namespace {

bool extract_argument(const Parameter& parameter, PyObject* value, std::string_view& text,
                      std::optional<std::string>& path, std::optional<bool>& flag) {
    switch (parameter.accepts) {
        case Accepts::Text:
            return extract_text_view(value, parameter.name, text);
        case Accepts::Path: {
            std::string bytes;
            if (!extract_path(value, parameter.name, bytes)) return false;
            path = std::move(bytes);
            return true;
        }
        case Accepts::OptionalPath:
            return extract_optional_path(value, parameter.name, path);
        case Accepts::Bool: {
            bool truth = false;
            if (!extract_bool_or(value, parameter.name, false, truth)) return false;
            flag = truth;
            return true;
        }
        case Accepts::OptionalBool:
            return extract_optional_bool(value, parameter.name, flag);
        case Accepts::Object:
            return true;
    }
    return true;
}

}  // namespace

bool bind_call_arguments(const FunctionParameters& parameters, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, CallArguments& out) {
    const size_t positional = parameters.positional.size();
    const size_t count = positional + parameters.keyword_only.size();
    if (count > MAX_PARAMETERS) {
        PyErr_Format(PyExc_SystemError, "%s has more than %d parameters", parameters.name,
                     static_cast<int>(MAX_PARAMETERS));
        return false;
    }
    auto parameter = [&](size_t index) -> const Parameter& {
        return index < positional ? parameters.positional[index]
                                  : parameters.keyword_only[index - positional];
    };
    const char* names[MAX_PARAMETERS] = {};
    for (size_t i = 0; i < count; ++i)
        names[i] = parameter(i).name;
    const Signature signature{
        .name = parameters.name,
        .positional = std::span<const char* const>(names, positional),
        .required = positional,
        .positional_only = parameters.positional_only,
        .keyword_only = std::span<const char* const>(names + positional, count - positional)};
    BoundArguments bound;
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return false;
    for (size_t i = 0; i < count; ++i) {
        CallArguments::Slot& slot = out.slots_[i];
        slot.object = bound[i];
        if (!extract_argument(parameter(i), bound[i], slot.text, slot.path, slot.flag)) {
            return false;
        }
    }
    return true;
}

std::nullptr_t raise_read_failure(std::string_view prefix, const ReadFailure& failure) {
    if (failure.still_raised) return nullptr;
    return raise_tyx_error(invalid_options_error(std::string(prefix) + failure.description));
}

bool check_source_size(size_t length) {
    if (length <= MAX_SOURCE_SIZE) return true;
    raise_tyx_error(resource_limit_error("source exceeds maximum size of " +
                                         decimal(MAX_SOURCE_SIZE) + " bytes (" + decimal(length) +
                                         " bytes provided)"));
    return false;
}

bool reject_empty_base_path(const std::optional<std::string>& base_path) {
    if (!base_path || !base_path->empty()) return true;
    raise_tyx_error(invalid_options_error("base_path must be a non-empty string"));
    return false;
}

bool check_source_map_options(bool source_map, bool sources_content, CompileOptions& out) {
    if (sources_content && !source_map) {
        raise_tyx_error(
            invalid_options_error("option \"sources_content\" requires \"source_map\" to be True"));
        return false;
    }
    out = CompileOptions{.source_map = source_map, .sources_content = sources_content};
    return true;
}

namespace {

// Arrays nested one level past MAX_VALUE_DEPTH.
nlohmann::json nesting_past_value_depth() {
    nlohmann::json value = nlohmann::json::array();
    for (int depth = 0; depth <= MAX_VALUE_DEPTH; ++depth)
        value = nlohmann::json::array({std::move(value)});
    return value;
}

}  // namespace

bool parse_vars_option(PyObject* vars, PythonSnapshot& members) {
    members = PythonSnapshot();
    if (vars == nullptr || vars == Py_None) return true;
    SnapshotFromPython converted = snapshot_python(vars);
    if (converted.failure) {
        raise_read_failure("invalid vars: ", *converted.failure);
        return false;
    }
    if (!converted.value.is_object()) {
        raise_tyx_error(
            invalid_options_error(std::string("options.vars must be a plain object, got ") +
                                  converted.value.kind_name()));
        return false;
    }
    // The members lie one level below the mapping; only a snapshot read deeper than their limit
    // can hold one that passes it, and then the JSON value, its equal keys merged, decides.
    if (converted.value.deepest() > MAX_VALUE_DEPTH + 1 &&
        converted.value.member_exceeds_value_depth()) {
        // The conversion itself words the error, so that it reads as its own limit does; its
        // words do not depend on the value, which may be shared too widely to be written out.
        Result<Value> refused = value_from_json(nesting_past_value_depth(), 0);
        raise_tyx_error(refused.ok() ? internal_compiler_error()
                                     : convert_core_error(refused.error()));
        return false;
    }
    members = std::move(converted.value);
    return true;
}

Result<VarsMap> build_vars_map(PythonSnapshot members) {
    static_assert(std::is_same_v<VarsMap, decltype(std::move(members).member_map())>);
    return std::move(members).member_map();
}

PyObject* module_count_error(size_t count) {
    return resource_limit_error("modules exceeds maximum module count of " + decimal(MAX_MODULES) +
                                " (" + decimal(count) + " provided)");
}

bool parse_modules_option(PyObject* modules, ModuleMap& out) {
    out.clear();
    // A dict is refused from its size alone, before any of its entries is converted.
    if (PyDict_Check(modules) && static_cast<size_t>(PyDict_Size(modules)) > MAX_MODULES) {
        raise_tyx_error(module_count_error(static_cast<size_t>(PyDict_Size(modules))));
        return false;
    }
    // Only the kind of a member that is not a text is read.
    JsonFromPython converted = python_to_shallow_json(modules);
    if (converted.failure) {
        raise_read_failure("invalid modules: ", *converted.failure);
        return false;
    }
    nlohmann::json& value = *converted.value;
    if (value.is_object() && value.size() > MAX_MODULES) {
        raise_tyx_error(module_count_error(value.size()));
        return false;
    }
    if (!value.is_object()) {
        raise_tyx_error(invalid_options_error(
            std::string("modules must be a mapping of str to str, got ") + json_kind_name(value)));
        return false;
    }
    uint64_t total = 0;
    for (auto member = value.begin(); member != value.end(); ++member) {
        const std::string& key = member.key();
        if (!member->is_string()) {
            raise_tyx_error(invalid_options_error("modules[" + py::quoted(key) +
                                                  "] must be a string, got " +
                                                  json_kind_name(*member)));
            return false;
        }
        std::string& text = member->get_ref<std::string&>();
        if (text.size() > MAX_SOURCE_SIZE) {
            raise_tyx_error(resource_limit_error(
                "modules[" + py::quoted(key) + "] exceeds maximum size of " +
                decimal(MAX_SOURCE_SIZE) + " bytes (" + decimal(text.size()) + " bytes provided)"));
            return false;
        }
        total += text.size();
        if (total > MAX_MODULES_TOTAL_SIZE) {
            raise_tyx_error(resource_limit_error("modules aggregate size exceeds maximum of " +
                                                 decimal(MAX_MODULES_TOTAL_SIZE) + " bytes"));
            return false;
        }
        out.emplace(key, std::move(text));
    }
    return true;
}

namespace {

// `unknown` is sorted by bytes and not empty.
std::string unknown_rules_warning(const std::vector<std::string>& unknown) {
    std::string text = unknown.size() == 1 ? "unknown lint rule " : "unknown lint rules: ";
    for (size_t i = 0; i < unknown.size(); ++i) {
        if (i > 0) text += ", ";
        text += '\'';
        text += escape_for_display(std::string_view(unknown[i]));
        text += '\'';
    }
    text += "; recognised rules are: ";
    for (size_t i = 0; i < KNOWN_RULES.size(); ++i) {
        if (i > 0) text += ", ";
        text += KNOWN_RULES[i];
    }
    text += "; ignoring";
    return text;
}

}  // namespace

bool parse_rules_option(PyObject* rules, RuleSeverityMap& out,
                        std::optional<std::string>& warning) {
    out.clear();
    warning.reset();
    if (rules == nullptr || rules == Py_None) return true;
    // Only the kind of a member that is not a text is read.
    JsonFromPython converted = python_to_shallow_json(rules);
    if (converted.failure) {
        raise_read_failure("invalid rules: ", *converted.failure);
        return false;
    }
    const nlohmann::json& value = *converted.value;
    if (!value.is_object()) {
        raise_tyx_error(invalid_options_error(
            std::string("rules must be a mapping of str to str, got ") + json_kind_name(value)));
        return false;
    }
    std::vector<std::string> unknown;
    for (const auto& [id, level] : value.items()) {
        if (!level.is_string()) {
            raise_tyx_error(invalid_options_error(
                "rules[" + py::quoted(id) + "] must be a string, got " + json_kind_name(level)));
            return false;
        }
        const std::string& name = level.get_ref<const std::string&>();
        std::optional<Severity> severity = tyx::parse_severity(name);
        if (!severity) {
            raise_tyx_error(invalid_options_error(
                "rules[" + py::quoted(id) + "]: unknown severity " + py::quoted(name) +
                "; expected \"off\", \"info\", \"warn\", or \"error\""));
            return false;
        }
        out.emplace(id, *severity);
        if (!tyx::is_known_rule(id)) unknown.push_back(id);
    }
    // Members come in key order, so the unknown ids are already sorted by their bytes.
    if (!unknown.empty()) warning = unknown_rules_warning(unknown);
    return true;
}

}  // namespace tyx::py
