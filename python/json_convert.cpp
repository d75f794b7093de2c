#include "python/json_convert.h"

#include <cmath>
#include <limits>

#include "core/display.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/pyref.h"

namespace tyx::py {
namespace {

using Json = nlohmann::json;

// Converts one Python object; returns the failure description, or nothing on success.
class PythonToJson {
  public:
    std::optional<std::string> convert(PyObject* object, Json& out, int depth) {
        if (depth > MAX_PYTHON_JSON_DEPTH) {
            return "nesting exceeds maximum depth of " + std::to_string(MAX_PYTHON_JSON_DEPTH);
        }
        if (object == Py_None) {
            out = nullptr;
            return std::nullopt;
        }
        if (PyBool_Check(object)) {
            out = object == Py_True;
            return std::nullopt;
        }
        if (PyLong_Check(object)) return convert_int(object, out);
        if (PyList_Check(object) || PyTuple_Check(object)) {
            return convert_indexed(object, out, depth);
        }
        if (PyDict_Check(object)) return convert_mapping(PyRef(PyDict_Items(object)), out, depth);
        if (PyUnicode_Check(object)) {
            std::string text;
            if (!utf8_of(object, text)) return take_error_description();
            out = std::move(text);
            return std::nullopt;
        }
        if (PyBytes_Check(object) || PyByteArray_Check(object)) {
            return "invalid type: byte array, expected any valid JSON value";
        }
        if (PyFloat_Check(object)) {
            double number = PyFloat_AsDouble(object);
            if (number == -1.0 && PyErr_Occurred()) return take_error_description();
            // JSON has no NaN or infinity; they read as null, as the other bindings write them.
            if (std::isfinite(number)) {
                out = number;
            } else {
                out = nullptr;
            }
            return std::nullopt;
        }
        if (PyAnySet_Check(object)) return convert_iterable(object, out, depth);
        return convert_by_protocol(object, out, depth);
    }

  private:
    static std::optional<std::string> convert_int(PyObject* object, Json& out) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (number == -1 && PyErr_Occurred()) return take_error_description();
        if (overflow == 0) {
            if (number < 0) {
                out = static_cast<int64_t>(number);
            } else {
                out = static_cast<uint64_t>(number);
            }
            return std::nullopt;
        }
        if (overflow > 0) {
            unsigned long long large = PyLong_AsUnsignedLongLong(object);
            if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                out = static_cast<uint64_t>(large);
                return std::nullopt;
            }
            PyErr_Clear();
        }
        return "JSON number out of range";
    }

    // A list, a tuple or a Sequence, read by index; the length is read again at every step
    // because converting an element may run code that changes the container.
    std::optional<std::string> convert_indexed(PyObject* object, Json& out, int depth) {
        Json array = Json::array();
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t size = PySequence_Size(object);
            if (size < 0) return take_error_description();
            if (i >= size) break;
            PyRef item(PySequence_GetItem(object, i));
            if (!item) return take_error_description();
            Json element;
            if (auto failure = convert(item.get(), element, depth + 1)) return failure;
            array.push_back(std::move(element));
        }
        out = std::move(array);
        return std::nullopt;
    }

    std::optional<std::string> convert_iterable(PyObject* object, Json& out, int depth) {
        PyRef iterator(PyObject_GetIter(object));
        if (!iterator) return take_error_description();
        Json array = Json::array();
        while (PyRef item{PyIter_Next(iterator.get())}) {
            Json element;
            if (auto failure = convert(item.get(), element, depth + 1)) return failure;
            array.push_back(std::move(element));
        }
        if (PyErr_Occurred()) return take_error_description();
        out = std::move(array);
        return std::nullopt;
    }

    // `items` is a list of (key, value) pairs taken from the mapping in its own order.
    std::optional<std::string> convert_mapping(PyRef items, Json& out, int depth) {
        if (!items) return take_error_description();
        PyRef sequence(PySequence_Fast(items.get(), "mapping items are not a sequence"));
        if (!sequence) return take_error_description();
        Json object = Json::object();
        Py_ssize_t size = PySequence_Size(sequence.get());
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyRef pair(PySequence_GetItem(sequence.get(), i));
            if (!pair) return take_error_description();
            PyRef key(PySequence_GetItem(pair.get(), 0));
            PyRef value(key ? PySequence_GetItem(pair.get(), 1) : nullptr);
            if (!value) return take_error_description();
            if (!PyUnicode_Check(key.get())) {
                return "unexpected type: '" + type_qualname(key.get()) +
                       "' object is not an instance of 'str'";
            }
            std::string name;
            if (!utf8_of(key.get(), name)) return take_error_description();
            Json member;
            if (auto failure = convert(value.get(), member, depth + 1)) return failure;
            // Two keys with the same text keep the later value.
            object[std::move(name)] = std::move(member);
        }
        out = std::move(object);
        return std::nullopt;
    }

    std::optional<std::string> convert_by_protocol(PyObject* object, Json& out, int depth) {
        PyRef abc(PyImport_ImportModule("collections.abc"));
        if (!abc) return take_error_description();
        for (const char* name : {"Sequence", "Mapping"}) {
            PyRef protocol(PyObject_GetAttrString(abc.get(), name));
            if (!protocol) return take_error_description();
            int matches = PyObject_IsInstance(object, protocol.get());
            if (matches < 0) return take_error_description();
            if (matches == 0) continue;
            if (name[0] == 'S') return convert_indexed(object, out, depth);
            return convert_mapping(PyRef(PyMapping_Items(object)), out, depth);
        }
        return "unsupported type " + type_qualname(object);
    }
};

// Builds one Python object; nullptr with the Python error of the failed step set.
PyRef to_python(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return PyRef::borrow(Py_None);
        case Json::value_t::boolean:
            return PyRef(PyBool_FromLong(value.get<bool>() ? 1 : 0));
        case Json::value_t::number_integer:
            return PyRef(PyLong_FromLongLong(value.get<int64_t>()));
        case Json::value_t::number_unsigned:
            return PyRef(PyLong_FromUnsignedLongLong(value.get<uint64_t>()));
        case Json::value_t::number_float:
            return PyRef(PyFloat_FromDouble(value.get<double>()));
        case Json::value_t::string:
            return PyRef(text_to_python(value.get_ref<const std::string&>()));
        case Json::value_t::array: {
            PyRef list(PyList_New(static_cast<Py_ssize_t>(value.size())));
            if (!list) return list;
            Py_ssize_t index = 0;
            for (const Json& element : value) {
                PyRef item = to_python(element);
                if (!item) return item;
                PyList_SetItem(list.get(), index++, item.release());
            }
            return list;
        }
        case Json::value_t::object: {
            PyRef dict(PyDict_New());
            if (!dict) return dict;
            for (const auto& [key, member] : value.items()) {
                PyRef name(text_to_python(key));
                PyRef item = name ? to_python(member) : PyRef();
                if (!item || PyDict_SetItem(dict.get(), name.get(), item.get()) < 0) {
                    return PyRef();
                }
            }
            return dict;
        }
        case Json::value_t::binary:
        case Json::value_t::discarded:
            break;
    }
    PyErr_SetString(PyExc_ValueError, "value has no JSON form");
    return PyRef();
}

PyObject* raise_serialize_failure() {
    raise_tyx_error(
        new_tyx_error("tyx::internal", "failed to serialize result: " + take_error_description()));
    return nullptr;
}

enum class NumberForm { Unsigned, Negative, Double, None };

NumberForm number_form(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_unsigned:
            return NumberForm::Unsigned;
        case Json::value_t::number_integer:
            return value.get<int64_t>() < 0 ? NumberForm::Negative : NumberForm::Unsigned;
        case Json::value_t::number_float:
            return NumberForm::Double;
        default:
            return NumberForm::None;
    }
}

}  // namespace

JsonFromPython python_to_json(PyObject* object) {
    JsonFromPython result;
    result.failure = PythonToJson().convert(object, result.value, 0);
    if (result.failure) result.value = nullptr;
    return result;
}

PyObject* canonical_to_python(const nlohmann::json& value) {
    PyRef object = to_python(value);
    return object ? object.release() : raise_serialize_failure();
}

PyObject* canonical_object_to_python_with_null(const nlohmann::json& object,
                                               std::string_view extra_key) {
    if (!object.is_object() || object.contains(extra_key)) return canonical_to_python(object);
    PyRef dict(PyDict_New());
    if (!dict) return raise_serialize_failure();
    bool inserted = false;
    auto insert = [&](std::string_view key, PyObject* item) {
        PyRef name(text_to_python(key));
        return name && PyDict_SetItem(dict.get(), name.get(), item) == 0;
    };
    for (const auto& [key, member] : object.items()) {
        if (!inserted && std::string_view(key) > extra_key) {
            if (!insert(extra_key, Py_None)) return raise_serialize_failure();
            inserted = true;
        }
        PyRef item = to_python(member);
        if (!item || !insert(key, item.get())) return raise_serialize_failure();
    }
    if (!inserted && !insert(extra_key, Py_None)) return raise_serialize_failure();
    return dict.release();
}

bool write_compact_json(const nlohmann::json& value, std::string& out) {
    try {
        out = value.dump(-1, ' ', false, Json::error_handler_t::strict);
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

PyObject* compact_json_text(const nlohmann::json& value) {
    std::string text;
    if (!write_compact_json(value, text)) {
        raise_tyx_error(
            new_tyx_error("tyx::internal", "failed to serialize result: invalid UTF-8 in a text"));
        return nullptr;
    }
    PyObject* result = text_to_python(text);
    return result != nullptr ? result : raise_serialize_failure();
}

bool json_equal(const nlohmann::json& a, const nlohmann::json& b) {
    NumberForm form = number_form(a);
    if (form != NumberForm::None || number_form(b) != NumberForm::None) {
        if (form != number_form(b)) return false;
        switch (form) {
            case NumberForm::Unsigned:
                return a.get<uint64_t>() == b.get<uint64_t>();
            case NumberForm::Negative:
                return a.get<int64_t>() == b.get<int64_t>();
            default:
                return a.get<double>() == b.get<double>();
        }
    }
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Json::value_t::array: {
            if (a.size() != b.size()) return false;
            for (size_t i = 0; i < a.size(); ++i) {
                if (!json_equal(a[i], b[i])) return false;
            }
            return true;
        }
        case Json::value_t::object: {
            if (a.size() != b.size()) return false;
            for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
                if (left.key() != right.key() || !json_equal(left.value(), right.value())) {
                    return false;
                }
            }
            return true;
        }
        default:
            return a == b;
    }
}

const char* json_kind_name(const nlohmann::json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return "boolean";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float:
            return "number";
        case Json::value_t::string:
            return "string";
        case Json::value_t::array:
            return "array";
        case Json::value_t::object:
            return "object";
        default:
            return "null";
    }
}

std::optional<uint64_t> json_unsigned(const nlohmann::json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer() && value.get<int64_t>() >= 0) {
        return static_cast<uint64_t>(value.get<int64_t>());
    }
    return std::nullopt;
}

const nlohmann::json* json_member(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::vector<std::string> read_string_list_field(const nlohmann::json& object,
                                                std::string_view key) {
    std::vector<std::string> texts;
    const Json* member = json_member(object, key);
    if (member == nullptr || !member->is_array()) return texts;
    for (const Json& element : *member) {
        if (element.is_string()) texts.push_back(element.get<std::string>());
    }
    return texts;
}

void sanitize_string_field(nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return;
    const std::string& text = found->get_ref<const std::string&>();
    std::string escaped = escape_for_display(std::string_view(text));
    if (escaped != text) *found = std::move(escaped);
}

PyObject* text_to_python(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* string_list_to_python(const std::vector<std::string>& texts) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < texts.size(); ++i) {
        PyObject* item = text_to_python(texts[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace tyx::py
