// Conversions between Python objects and JSON values, the compact JSON text and JSON equality.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tyx::py {

// How deep python_to_json follows nested containers; it keeps a container that holds itself
// from exhausting the stack, and lies well above MAX_VALUE_DEPTH so that too deep `vars` are
// still refused by value_from_json with its own error.
inline constexpr int MAX_PYTHON_JSON_DEPTH = 256;

// A JSON value converted from Python, or the description of why it could not be.
struct JsonFromPython {
    nlohmann::json value;
    std::optional<std::string> failure;
};

JsonFromPython python_to_json(PyObject* object);

// A new Python object mirroring the value (new objects on every call); nullptr with TyxError
// "tyx::internal" "failed to serialize result: {}" set when building an object failed.
PyObject* canonical_to_python(const nlohmann::json& value);
// An object converted as canonical_to_python does, with `extra_key` set to None inserted at its
// place in key order when the object lacks it; the value itself is not copied.
PyObject* canonical_object_to_python_with_null(const nlohmann::json& object,
                                               std::string_view extra_key);

// Compact text: no whitespace, members in key order, only '"', '\\' and characters below U+0020
// escaped; non-ASCII stays UTF-8. nullptr with TyxError "tyx::internal" set when a text of the
// value is not valid UTF-8.
PyObject* compact_json_text(const nlohmann::json& value);
// The same as a std::string; false when a text of the value is not valid UTF-8.
bool write_compact_json(const nlohmann::json& value, std::string& out);

// Equality that keeps 1, 1.0 and true apart: numbers are equal only in the same form (unsigned,
// negative integer, double), a NaN equals nothing, objects compare member by member in key order.
bool json_equal(const nlohmann::json& a, const nlohmann::json& b);

// "null", "boolean", "number", "string", "array" or "object".
const char* json_kind_name(const nlohmann::json& value);

// The member as a non-negative integer, when it holds one.
std::optional<uint64_t> json_unsigned(const nlohmann::json& value);
// The member `key` of an object, or nullptr (also when `object` is not an object).
const nlohmann::json* json_member(const nlohmann::json& object, std::string_view key);
// The string elements of the array member `key`, in order; others are skipped.
std::vector<std::string> read_string_list_field(const nlohmann::json& object, std::string_view key);
// Replaces the string member `key` by its escape_for_display form when escaping changes it.
void sanitize_string_field(nlohmann::json& object, std::string_view key);

// A new list of str; nullptr with the error set.
PyObject* string_list_to_python(const std::vector<std::string>& texts);
// A new str from UTF-8 text; nullptr with the error set.
PyObject* text_to_python(std::string_view text);

}  // namespace tyx::py
