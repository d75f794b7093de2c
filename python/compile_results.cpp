#include <type_traits>
#include <variant>

#include "core/display.h"
#include "core/resolver/lib.h"
#include "python/args.h"
#include "python/boundary.h"
#include "python/describe.h"
#include "python/errors.h"
#include "python/json_convert.h"
#include "python/quoted.h"
#include "python/result_type.h"
#include "python/results.h"

namespace tyx::py {
namespace {

using Json = nlohmann::json;

constexpr const char* kCompileResultDoc =
    "CompileResult(canonical)\n--\n\nThe result of [`compile`], [`compile_file`], or "
    "[`compile_virtual`].\n\nRetains the canonical `to_canonical_json()` value as its single "
    "backing store;\nevery typed getter and `to_dict()`/`to_json()` reads from it, so they can "
    "never\ndiverge. `__eq__` is wire equality; the object is intentionally unhashable.";

constexpr const char* kCheckResultDoc =
    "CheckResult(warnings)\n--\n\nThe result of [`check`], [`check_file`], or [`check_virtual`].";

// What a CompileResult holds, in one of two forms: the core's result as a compile function
// handed it over, or the canonical JSON value a result was made or unpickled from. Every getter
// reads it on each call; to_json(), to_dict(), pickling and == read the canonical value, built
// from a core result each time one of them asks. The documented "single backing store" is this
// state, whichever form it takes.
struct CompileState {
    std::variant<CoreCompileResult, OwnedJson> value;
};
// A state only ever moves into its instance, and that move cannot throw: a variant whose
// alternative throws while it is made is where g++ 12's library frees memory twice.
static_assert(std::is_nothrow_move_constructible_v<CompileState>);

const CompileState& compile_state_of(PyObject* self) {
    return state_of<CompileState>(self);
}

const CoreCompileResult* core_result_of(const CompileState& state) {
    return std::get_if<CoreCompileResult>(&state.value);
}

// The value of a state that holds no core result.
const Json& canonical_of(const CompileState& state) {
    return *std::get<OwnedJson>(state.value);
}

// Calls `read` with the canonical JSON value of the state.
template <class Read>
decltype(auto) with_canonical(const CompileState& state, Read&& read) {
    if (const CoreCompileResult* result = core_result_of(state)) {
        return read(*CoreCompileResult::to_canonical_json(*result));
    }
    return read(canonical_of(state));
}

bool compile_states_equal(const CompileState& a, const CompileState& b) {
    return with_canonical(a, [&](const Json& left) {
        return with_canonical(b, [&](const Json& right) { return json_equal(left, right); });
    });
}

std::string text_member(const Json& canonical, std::string_view key) {
    const Json* member = json_member(canonical, key);
    return member != nullptr && member->is_string() ? member->get<std::string>() : std::string();
}

std::string kind_of(const CompileState& state) {
    if (const CoreCompileResult* result = core_result_of(state)) {
        return std::holds_alternative<std::string>(result->body) ? "markdown" : "messages";
    }
    return text_member(canonical_of(state), "kind");
}

// The output text, or nullptr when there is none.
const std::string* output_of(const CompileState& state) {
    if (const CoreCompileResult* result = core_result_of(state)) {
        return std::get_if<std::string>(&result->body);
    }
    const Json* output = json_member(canonical_of(state), "output");
    return output != nullptr && output->is_string() ? &output->get_ref<const std::string&>()
                                                    : nullptr;
}

// The warnings as the canonical value shows them, made safe for display.
std::vector<std::string> warnings_of(const CompileState& state) {
    if (const CoreCompileResult* result = core_result_of(state)) {
        std::vector<std::string> warnings;
        warnings.reserve(result->warnings.size());
        for (const std::string& warning : result->warnings)
            warnings.push_back(escape_for_display(std::string_view(warning)));
        return warnings;
    }
    return read_string_list_field(canonical_of(state), "warnings");
}

std::vector<std::string> dependencies_of(const CompileState& state) {
    if (const CoreCompileResult* result = core_result_of(state)) return result->dependencies;
    return read_string_list_field(canonical_of(state), "dependencies");
}

PyObject* compile_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"canonical"};
    static constexpr Signature kSignature = {"CompileResult.__new__()", kParameters, 1};
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    JsonFromPython converted = python_to_json(bound[0]);
    if (converted.failure) {
        return raise_read_failure("invalid CompileResult state: ", *converted.failure);
    }
    return allocate_instance(type, CompileState{decltype(CompileState::value)(
                                       std::in_place_type<OwnedJson>, std::move(converted.value))});
}

PyObject* compile_result_repr(PyObject* self) {
    const CompileState& state = compile_state_of(self);
    std::string out;
    if (kind_of(state) == "messages") {
        size_t count = 0;
        if (const CoreCompileResult* result = core_result_of(state)) {
            count = std::get<std::vector<Message>>(result->body).size();
        } else {
            const Json* messages = json_member(canonical_of(state), "messages");
            count = messages != nullptr && messages->is_array() ? messages->size() : 0;
        }
        out = "CompileResult(kind='messages', messages=<" + std::to_string(count) + " item(s)>";
    } else {
        out = "CompileResult(kind='markdown', output=";
        const std::string* output = output_of(state);
        append_quoted(output != nullptr ? *output : std::string(), out);
    }
    out += ", warnings=";
    append_quoted_list(warnings_of(state), out);
    out += ", dependencies=";
    append_quoted_list(dependencies_of(state), out);
    // Any "sourceMap" member counts, a JSON null included.
    const CoreCompileResult* result = core_result_of(state);
    if (result != nullptr ? result->source_map.has_value()
                          : json_member(canonical_of(state), "sourceMap") != nullptr) {
        out += ", source_map=<present>";
    }
    out += ')';
    return text_to_python(out);
}

PyObject* compile_result_kind(PyObject* self, void*) {
    return text_to_python(kind_of(compile_state_of(self)));
}

PyObject* compile_result_output(PyObject* self, void*) {
    const std::string* output = output_of(compile_state_of(self));
    if (output == nullptr) return Py_NewRef(Py_None);
    return text_to_python(*output);
}

PyObject* compile_result_messages(PyObject* self, void*) {
    const CompileState& state = compile_state_of(self);
    if (const CoreCompileResult* result = core_result_of(state)) {
        const auto* messages = std::get_if<std::vector<Message>>(&result->body);
        if (messages == nullptr) return Py_NewRef(Py_None);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(messages->size())));
        if (!list) return nullptr;
        Py_ssize_t index = 0;
        for (const Message& element : *messages) {
            PyObject* message = new_message_object(element.role, element.content);
            if (message == nullptr) return nullptr;
            PyList_SetItem(list.get(), index++, message);
        }
        return list.release();
    }
    const Json* messages = json_member(canonical_of(state), "messages");
    if (messages == nullptr || !messages->is_array()) return Py_NewRef(Py_None);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(messages->size())));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (const Json& element : *messages) {
        PyObject* message =
            new_message_object(text_member(element, "role"), text_member(element, "content"));
        if (message == nullptr) return nullptr;
        PyList_SetItem(list.get(), index++, message);
    }
    return list.release();
}

PyObject* compile_result_warnings(PyObject* self, void*) {
    return string_list_to_python(warnings_of(compile_state_of(self)));
}

PyObject* compile_result_dependencies(PyObject* self, void*) {
    const CompileState& state = compile_state_of(self);
    if (const CoreCompileResult* result = core_result_of(state)) {
        return string_list_to_python(result->dependencies);
    }
    return string_list_to_python(dependencies_of(state));
}

PyObject* compile_result_source_map(PyObject* self, void*) {
    const CompileState& state = compile_state_of(self);
    if (const CoreCompileResult* result = core_result_of(state)) {
        if (!result->source_map) return Py_NewRef(Py_None);
        return canonical_to_python(*CoreCompileResult::source_map_json(*result->source_map));
    }
    const Json* map = json_member(canonical_of(state), "sourceMap");
    if (map == nullptr) return Py_NewRef(Py_None);
    return canonical_to_python(*map);
}

PyObject* compile_result_to_dict(PyObject* self, PyObject*) {
    return with_canonical(compile_state_of(self), [](const Json& canonical) {
        return canonical_object_to_python_with_null(canonical, "sourceMap");
    });
}

PyObject* compile_result_to_json(PyObject* self, PyObject*) {
    return with_canonical(compile_state_of(self), compact_json_text);
}

PyObject* compile_result_reduce(PyObject* self, PyObject*) {
    PyRef canonical(with_canonical(compile_state_of(self), canonical_to_python));
    if (!canonical) return nullptr;
    return reduce_value(self, PyTuple_Pack(1, canonical.get()));
}

PyMethodDef kCompileResultMethods[] = {
    {"to_dict", &Boundary<compile_result_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the canonical discriminated-union `dict` (the inactive "
     "payload key is\nabsent), with `\"sourceMap\"` always present as `None` when no map was "
     "generated.\n\n## `to_dict()` vs `to_json()` asymmetry\n\n`to_dict()` always includes the "
     "`\"sourceMap\"` key, using Python `None` when no\nsource map was requested. This is the "
     "Python-idiomatic style (attribute always\nexists; check `result.source_map is None` rather "
     "than `\"sourceMap\" in d`).\n\n`to_json()` omits the key when no map was generated — this "
     "is the canonical\nwire format shared with the Node.js and WASM bindings. If you need "
     "byte-level\nparity with those surfaces, use `to_json()` (or `json.loads(r.to_json())`),\nnot "
     "`to_dict()`."},
    {"to_json", &Boundary<compile_result_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the canonical result as a JSON string.\n\nThe `\"sourceMap\"` "
     "key is **omitted** when no map was generated — this is the\nwire format shared with the "
     "Node.js and WASM bindings. See `to_dict()` for\nthe always-present Python-idiomatic "
     "variant."},
    // The documented text's `value` is the state: pickling reduces to its canonical value.
    {"__reduce__", &Boundary<compile_result_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `CompileResult(canonical_dict)`.\n\n"
     "Uses the raw backing `value` (not `to_dict()`), so the null-sourceMap\ninjection from "
     "`to_dict()` is NOT included. This preserves round-trip\nequality: original.value == "
     "restored.value."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCompileResultGetters[] = {
    {"kind", &Boundary<compile_result_kind>::call, nullptr,
     "`\"markdown\"` or `\"messages\"` — the intrinsic output shape of the template.", nullptr},
    {"output", &Boundary<compile_result_output>::call, nullptr,
     "The rendered Markdown string, or `None` when the result is `messages`.", nullptr},
    {"messages", &Boundary<compile_result_messages>::call, nullptr,
     "The structured messages, or `None` when the result is `markdown`.", nullptr},
    {"warnings", &Boundary<compile_result_warnings>::call, nullptr,
     "Warnings emitted during compilation (never printed to stderr).", nullptr},
    {"dependencies", &Boundary<compile_result_dependencies>::call, nullptr,
     "Imported module keys in depth-first resolution order (entry excluded).", nullptr},
    {"source_map", &Boundary<compile_result_source_map>::call, nullptr,
     "The Source Map v3 document as a plain `dict`, or `None` when not generated.\n\nPresent "
     "only when `source_map=True` was passed to the compile function AND the\nresult is "
     "Markdown (messages-mode degrades to `None` per AC-FUNC-07).\nThe wire key in `to_dict()` / "
     "`to_json()` is `\"sourceMap\"` (camelCase).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& compile_result_definition() {
    static const ClassDefinition definition =
        define_class<CompileState, compile_states_equal, compile_result_new, compile_result_repr>(
            "vorpel.CompileResult", kCompileResultDoc, kCompileResultMethods,
            kCompileResultGetters);
    return definition;
}

struct CheckState {
    std::vector<std::string> warnings;
};

bool check_states_equal(const CheckState& a, const CheckState& b) {
    return a.warnings == b.warnings;
}

// The check result JSON: {"warnings": [...]}.
OwnedJson check_wire(const CheckState& state) {
    OwnedJson wire(Json::object());
    set_text_array(*wire, "warnings", state.warnings);
    return wire;
}

// A sequence of str in iteration order; a str itself is refused although it is a sequence.
bool extract_warnings(PyObject* value, std::vector<std::string>& out) {
    constexpr const char* kParameter = "warnings";
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        add_parameter_note(kParameter);
        return false;
    }
    if (!PySequence_Check(value)) {
        // Named by its type even for None, unlike the plain extractions.
        std::string message =
            "'" + type_qualname(value) + "' object is not an instance of 'Sequence'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        add_parameter_note(kParameter);
        return false;
    }
    if (!reserve_for_length_hint(value, out)) return false;
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) {
        add_parameter_note(kParameter);
        return false;
    }
    while (PyRef item{PyIter_Next(iterator.get())}) {
        std::string text;
        if (!extract_text(item.get(), kParameter, text)) return false;
        out.push_back(std::move(text));
    }
    if (PyErr_Occurred()) {
        add_parameter_note(kParameter);
        return false;
    }
    return true;
}

PyObject* check_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"warnings"};
    static constexpr Signature kSignature = {"CheckResult.__new__()", kParameters, 1};
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    CheckState state;
    if (!extract_warnings(bound[0], state.warnings)) return nullptr;
    return allocate_instance(type, std::move(state));
}

PyObject* check_result_repr(PyObject* self) {
    std::string out = "CheckResult(warnings=";
    append_quoted_list(state_of<CheckState>(self).warnings, out);
    out += ')';
    return text_to_python(out);
}

PyObject* check_result_warnings(PyObject* self, void*) {
    return string_list_to_python(state_of<CheckState>(self).warnings);
}

PyObject* check_result_to_dict(PyObject* self, PyObject*) {
    return canonical_to_python(*check_wire(state_of<CheckState>(self)));
}

PyObject* check_result_to_json(PyObject* self, PyObject*) {
    return compact_json_text(*check_wire(state_of<CheckState>(self)));
}

PyObject* check_result_reduce(PyObject* self, PyObject*) {
    PyRef warnings(string_list_to_python(state_of<CheckState>(self).warnings));
    if (!warnings) return nullptr;
    return reduce_value(self, PyTuple_Pack(1, warnings.get()));
}

PyMethodDef kCheckResultMethods[] = {
    {"to_dict", &Boundary<check_result_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the result as a plain `dict` (`{ \"warnings\": [...] }`)."},
    {"to_json", &Boundary<check_result_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the result as a canonical JSON string."},
    {"__reduce__", &Boundary<check_result_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `CheckResult(warnings)`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCheckResultGetters[] = {
    {"warnings", &Boundary<check_result_warnings>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& check_result_definition() {
    static const ClassDefinition definition =
        define_class<CheckState, check_states_equal, check_result_new, check_result_repr>(
            "vorpel.CheckResult", kCheckResultDoc, kCheckResultMethods, kCheckResultGetters);
    return definition;
}

}  // namespace

PyTypeObject* compile_result_type() {
    return class_object<compile_result_definition>();
}
PyTypeObject* check_result_type() {
    return class_object<check_result_definition>();
}

PyObject* new_compile_result_object(CoreCompileResult result) {
    return allocate_instance(compile_result_type(),
                             CompileState{decltype(CompileState::value)(
                                 std::in_place_type<CoreCompileResult>, std::move(result))});
}

PyObject* new_check_result_object(std::vector<std::string> warnings) {
    return allocate_instance(check_result_type(), CheckState{std::move(warnings)});
}

}  // namespace tyx::py
