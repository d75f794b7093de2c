#include "python/args.h"
#include "python/boundary.h"
#include "python/json_convert.h"
#include "python/quoted.h"
#include "python/result_type.h"
#include "python/results.h"

namespace tyx::py {
namespace {

using Json = nlohmann::json;

constexpr const char* kSpanDoc =
    "Span(offset, length, line=None, column=None)\n--\n\nA source span attached to an "
    "[`TyxError`].\n\n`offset`/`length` are byte offsets into the source; `line` is 1-indexed "
    "and\n`column` is the 1-indexed character (Unicode scalar) position, or `None` when\nthe core "
    "could not resolve them. All values are Python `int`s — no truncation.";

constexpr const char* kMessageDoc =
    "Message(role, content)\n--\n\nA single chat message produced by a `@message`-bearing "
    "template.";

PyObject* optional_number(const std::optional<uint64_t>& number) {
    if (!number) return Py_NewRef(Py_None);
    return PyLong_FromUnsignedLongLong(*number);
}

void append_optional_number(const std::optional<uint64_t>& number, std::string& out) {
    out += number ? std::to_string(*number) : "None";
}

// Line and column are always present in a span's own wire form, as null when absent.
OwnedJson span_wire(const SpanRecord& span) {
    OwnedJson wire(Json::object());
    (*wire)["column"] = span.column ? Json(*span.column) : Json(nullptr);
    (*wire)["length"] = span.length;
    (*wire)["line"] = span.line ? Json(*span.line) : Json(nullptr);
    (*wire)["offset"] = span.offset;
    return wire;
}

bool spans_equal(const SpanRecord& a, const SpanRecord& b) {
    return a == b;
}

PyObject* span_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"offset", "length", "line", "column"};
    static constexpr Signature kSignature = {"Span.__new__()", kParameters, 2};
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    SpanRecord span;
    if (!extract_u64(bound[0], "offset", span.offset) ||
        !extract_u64(bound[1], "length", span.length) ||
        !extract_optional_u64(bound[2], "line", span.line) ||
        !extract_optional_u64(bound[3], "column", span.column)) {
        return nullptr;
    }
    return allocate_instance(type, std::move(span));
}

PyObject* span_repr(PyObject* self) {
    const SpanRecord& span = state_of<SpanRecord>(self);
    std::string out = "Span(offset=" + std::to_string(span.offset) +
                      ", length=" + std::to_string(span.length) + ", line=";
    append_optional_number(span.line, out);
    out += ", column=";
    append_optional_number(span.column, out);
    out += ')';
    return text_to_python(out);
}

PyObject* span_offset(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of<SpanRecord>(self).offset);
}
PyObject* span_length(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of<SpanRecord>(self).length);
}
PyObject* span_line(PyObject* self, void*) {
    return optional_number(state_of<SpanRecord>(self).line);
}
PyObject* span_column(PyObject* self, void*) {
    return optional_number(state_of<SpanRecord>(self).column);
}

PyObject* span_to_dict(PyObject* self, PyObject*) {
    return canonical_to_python(*span_wire(state_of<SpanRecord>(self)));
}
PyObject* span_to_json(PyObject* self, PyObject*) {
    return compact_json_text(*span_wire(state_of<SpanRecord>(self)));
}
PyObject* span_reduce(PyObject* self, PyObject*) {
    const SpanRecord& span = state_of<SpanRecord>(self);
    PyRef offset(PyLong_FromUnsignedLongLong(span.offset));
    PyRef length(PyLong_FromUnsignedLongLong(span.length));
    PyRef line(optional_number(span.line));
    PyRef column(optional_number(span.column));
    if (!offset || !length || !line || !column) return nullptr;
    return reduce_value(self,
                        PyTuple_Pack(4, offset.get(), length.get(), line.get(), column.get()));
}

PyMethodDef kSpanMethods[] = {
    {"to_dict", &Boundary<span_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the span as a plain `dict` (`offset`, `length`, `line`, "
     "`column`)."},
    {"to_json", &Boundary<span_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the span as a canonical JSON string."},
    {"__reduce__", &Boundary<span_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `Span(offset, length, line, column)`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSpanGetters[] = {
    {"offset", &Boundary<span_offset>::call, nullptr, nullptr, nullptr},
    {"length", &Boundary<span_length>::call, nullptr, nullptr, nullptr},
    {"line", &Boundary<span_line>::call, nullptr, nullptr, nullptr},
    {"column", &Boundary<span_column>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& span_definition() {
    static const ClassDefinition definition =
        define_class<SpanRecord, spans_equal, span_new, span_repr>("vorpel.Span", kSpanDoc,
                                                                   kSpanMethods, kSpanGetters);
    return definition;
}

struct MessageState {
    std::string role;
    std::string content;
};

bool messages_equal(const MessageState& a, const MessageState& b) {
    return a.role == b.role && a.content == b.content;
}

OwnedJson message_wire(const MessageState& message) {
    OwnedJson wire(Json::object());
    (*wire)["content"] = message.content;
    (*wire)["role"] = message.role;
    return wire;
}

PyObject* message_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"role", "content"};
    static constexpr Signature kSignature = {"Message.__new__()", kParameters, 2};
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    MessageState message;
    if (!extract_text(bound[0], "role", message.role) ||
        !extract_text(bound[1], "content", message.content)) {
        return nullptr;
    }
    return allocate_instance(type, std::move(message));
}

PyObject* message_repr(PyObject* self) {
    const MessageState& message = state_of<MessageState>(self);
    std::string out = "Message(role=";
    append_quoted(message.role, out);
    out += ", content=";
    append_quoted(message.content, out);
    out += ')';
    return text_to_python(out);
}

PyObject* message_role(PyObject* self, void*) {
    return text_to_python(state_of<MessageState>(self).role);
}
PyObject* message_content(PyObject* self, void*) {
    return text_to_python(state_of<MessageState>(self).content);
}
PyObject* message_to_dict(PyObject* self, PyObject*) {
    return canonical_to_python(*message_wire(state_of<MessageState>(self)));
}
PyObject* message_to_json(PyObject* self, PyObject*) {
    return compact_json_text(*message_wire(state_of<MessageState>(self)));
}
PyObject* message_reduce(PyObject* self, PyObject*) {
    const MessageState& message = state_of<MessageState>(self);
    PyRef role(text_to_python(message.role));
    PyRef content(text_to_python(message.content));
    if (!role || !content) return nullptr;
    return reduce_value(self, PyTuple_Pack(2, role.get(), content.get()));
}

PyMethodDef kMessageMethods[] = {
    {"to_dict", &Boundary<message_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the message as a plain `dict` (`role`, `content`)."},
    {"to_json", &Boundary<message_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the message as a canonical JSON string."},
    {"__reduce__", &Boundary<message_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `Message(role, content)`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kMessageGetters[] = {
    {"role", &Boundary<message_role>::call, nullptr, nullptr, nullptr},
    {"content", &Boundary<message_content>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& message_definition() {
    static const ClassDefinition definition =
        define_class<MessageState, messages_equal, message_new, message_repr>(
            "vorpel.Message", kMessageDoc, kMessageMethods, kMessageGetters);
    return definition;
}

}  // namespace

PyTypeObject* span_type() {
    return class_object<span_definition>();
}
PyTypeObject* message_type() {
    return class_object<message_definition>();
}

PyObject* new_span_object(const SpanRecord& span) {
    return allocate_instance(span_type(), SpanRecord(span));
}

PyObject* new_message_object(std::string role, std::string content) {
    return allocate_instance(message_type(), MessageState{std::move(role), std::move(content)});
}

}  // namespace tyx::py
