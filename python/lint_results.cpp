#include "core/display.h"
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

// fix_edits_json may nest arrays and objects this deep, and no deeper.
inline constexpr int MAX_FIX_EDITS_DEPTH = 127;

constexpr const char* kLintResultDoc =
    "LintResult(canonical)\n--\n\nThe result of [`lint`], [`lint_file`], or [`lint_virtual`].\n\n"
    "Stores the canonical `to_canonical_json()` value as its single backing store;\ntyped getters "
    "and `to_dict()`/`to_json()` read from it so they can never diverge.\n`__eq__` is wire "
    "equality. Byte-identical to the WASM and Node.js lint surfaces.";

constexpr const char* kLintFileReportDoc =
    "LintFileReport(file, diagnostics)\n--\n\nA per-file findings group from "
    "[`LintResult::files`].\n\nContains the file path (`file`) and a typed list of findings "
    "(`diagnostics`).\nEach diagnostic is a [`LintDiagnostic`] instance with fully-typed "
    "attributes.";

constexpr const char* kLintDiagnosticDoc =
    "LintDiagnostic(rule, severity, message, help=None, fixable=False, span=None, "
    "fix_edits_json=None)\n--\n\nA single lint finding within a [`LintFileReport`].\n\nMaps to "
    "the canonical wire-format diagnostic object\n`{ rule, severity, message, help, fixable, "
    "span, fix_edits }`.\n`help`, `span`, and `fix_edits` are always present as Python "
    "attributes\n(never missing — no `getattr` default needed); their value is `None` when\nthe "
    "rule emits no hint, produces no source span, or carries no fix edits\nrespectively.  In the "
    "JSON wire format all three are JSON `null` (not\nabsent keys) when `None`.";

// A diagnostic's span leaves out an absent line or column, unlike a Span's own wire form. `out`
// holds no array or object, here and below.
void write_diagnostic_span(const SpanRecord& span, Json& out) {
    out = Json::object();
    if (span.column) out["column"] = *span.column;
    out["length"] = span.length;
    if (span.line) out["line"] = *span.line;
    out["offset"] = span.offset;
}

void write_diagnostic(const DiagnosticRecord& record, Json& out) {
    out = Json::object();
    Json& edits = out["fix_edits"];
    if (record.fix_edits) copy_json(**record.fix_edits, edits);
    out["fixable"] = record.fixable;
    out["help"] = record.help ? Json(*record.help) : Json(nullptr);
    out["message"] = record.message;
    out["rule"] = record.rule;
    out["severity"] = record.severity;
    Json& span = out["span"];
    if (record.span) write_diagnostic_span(*record.span, span);
}

OwnedJson diagnostic_wire(const DiagnosticRecord& record) {
    OwnedJson wire;
    write_diagnostic(record, *wire);
    return wire;
}

std::string text_member(const Json& object, std::string_view key) {
    const Json* member = json_member(object, key);
    return member != nullptr && member->is_string() ? member->get<std::string>() : std::string();
}

// One diagnostic object of a lint report; every missing or malformed member reads as its default.
DiagnosticRecord record_from_canonical(const Json& element) {
    DiagnosticRecord record;
    if (const Json* span = json_member(element, "span")) {
        const Json* offset = json_member(*span, "offset");
        const Json* length = json_member(*span, "length");
        std::optional<uint64_t> offset_value = offset ? json_unsigned(*offset) : std::nullopt;
        std::optional<uint64_t> length_value = length ? json_unsigned(*length) : std::nullopt;
        if (offset_value && length_value) {
            SpanRecord record_span;
            record_span.offset = *offset_value;
            record_span.length = *length_value;
            if (const Json* line = json_member(*span, "line"))
                record_span.line = json_unsigned(*line);
            if (const Json* column = json_member(*span, "column")) {
                record_span.column = json_unsigned(*column);
            }
            record.span = record_span;
        }
    }
    const Json* edits = json_member(element, "fix_edits");
    if (edits != nullptr && edits->is_array()) copy_json(*edits, *record.fix_edits.emplace());
    record.rule = text_member(element, "rule");
    record.severity = text_member(element, "severity");
    record.message = text_member(element, "message");
    const Json* help = json_member(element, "help");
    if (help != nullptr && help->is_string()) record.help = help->get<std::string>();
    const Json* fixable = json_member(element, "fixable");
    record.fixable = fixable != nullptr && fixable->is_boolean() && fixable->get<bool>();
    return record;
}

// A LintFileReport for one file group of a lint report.
PyObject* file_report_from_canonical(const Json& group) {
    std::vector<SharedRecord> records;
    const Json* diagnostics = json_member(group, "diagnostics");
    if (diagnostics != nullptr && diagnostics->is_array()) {
        records.reserve(diagnostics->size());
        for (const Json& element : *diagnostics) {
            records.push_back(
                std::make_shared<const DiagnosticRecord>(record_from_canonical(element)));
        }
    }
    return new_lint_file_report_object(text_member(group, "file"), std::move(records));
}

// The lint report's display texts escaped again, so that a report built by hand shows no
// control or bidirectional character; texts that are already escaped stay as they are.
void sanitize_lint_report(Json& report) {
    if (!report.is_object()) return;
    auto files = report.find("files");
    if (files != report.end() && files->is_array()) {
        for (Json& group : *files) {
            if (!group.is_object()) continue;
            sanitize_string_field(group, "file");
            auto diagnostics = group.find("diagnostics");
            if (diagnostics == group.end() || !diagnostics->is_array()) continue;
            for (Json& diagnostic : *diagnostics) {
                sanitize_string_field(diagnostic, "message");
                sanitize_string_field(diagnostic, "help");
            }
        }
    }
    auto warnings = report.find("lint_warnings");
    if (warnings != report.end() && warnings->is_array()) {
        for (Json& warning : *warnings) {
            if (!warning.is_string()) continue;
            const std::string& text = warning.get_ref<const std::string&>();
            std::string escaped = escape_for_display(std::string_view(text));
            if (escaped != text) warning = std::move(escaped);
        }
    }
}

struct LintResultState {
    OwnedJson canonical;
};

bool lint_states_equal(const LintResultState& a, const LintResultState& b) {
    return json_equal(*a.canonical, *b.canonical);
}

const Json& report_of(PyObject* self) {
    return *state_of<LintResultState>(self).canonical;
}

uint64_t report_version(const Json& report) {
    const Json* version = json_member(report, "version");
    std::optional<uint64_t> number = version ? json_unsigned(*version) : std::nullopt;
    return number.value_or(1);
}

bool report_truncated(const Json& report) {
    const Json* truncated = json_member(report, "truncated");
    return truncated != nullptr && truncated->is_boolean() && truncated->get<bool>();
}

PyObject* lint_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"canonical"};
    static constexpr Signature kSignature = {"LintResult.__new__()", kParameters, 1};
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    JsonFromPython converted = python_to_json(bound[0]);
    if (converted.failure) {
        return raise_read_failure("invalid LintResult state: ", *converted.failure);
    }
    sanitize_lint_report(*converted.value);
    return allocate_instance(type, LintResultState{std::move(converted.value)});
}

PyObject* lint_result_repr(PyObject* self) {
    const Json& report = report_of(self);
    const Json* files = json_member(report, "files");
    size_t count = files != nullptr && files->is_array() ? files->size() : 0;
    std::string out = "LintResult(version=" + std::to_string(report_version(report)) + ", files=<" +
                      std::to_string(count) + " file(s)>, truncated=";
    append_bool(report_truncated(report), out);
    out += ')';
    return text_to_python(out);
}

PyObject* lint_result_version(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(report_version(report_of(self)));
}

PyObject* lint_result_files(PyObject* self, void*) {
    const Json* files = json_member(report_of(self), "files");
    if (files == nullptr || !files->is_array()) return PyList_New(0);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(files->size())));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (const Json& group : *files) {
        PyObject* report = file_report_from_canonical(group);
        if (report == nullptr) return nullptr;
        PyList_SetItem(list.get(), index++, report);
    }
    return list.release();
}

PyObject* lint_result_truncated(PyObject* self, void*) {
    return PyBool_FromLong(report_truncated(report_of(self)) ? 1 : 0);
}

PyObject* lint_result_lint_warnings(PyObject* self, void*) {
    return string_list_to_python(read_string_list_field(report_of(self), "lint_warnings"));
}

PyObject* lint_result_to_dict(PyObject* self, PyObject*) {
    return canonical_to_python(report_of(self));
}

PyObject* lint_result_to_json(PyObject* self, PyObject*) {
    return compact_json_text(report_of(self));
}

PyObject* lint_result_reduce(PyObject* self, PyObject*) {
    PyRef canonical(canonical_to_python(report_of(self)));
    if (!canonical) return nullptr;
    return reduce_value(self, PyTuple_Pack(1, canonical.get()));
}

PyMethodDef kLintResultMethods[] = {
    {"to_dict", &Boundary<lint_result_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the canonical lint result as a plain Python `dict`.\n\n"
     "Byte-identical to the Node.js and WASM `lint()` surfaces."},
    {"to_json", &Boundary<lint_result_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the canonical lint result as a JSON string."},
    {"__reduce__", &Boundary<lint_result_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `LintResult(canonical_dict)`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLintResultGetters[] = {
    {"version", &Boundary<lint_result_version>::call, nullptr,
     "Wire schema version — currently always `1`.", nullptr},
    {"files", &Boundary<lint_result_files>::call, nullptr,
     "Per-file finding groups as a list of typed [`LintFileReport`] objects.\n\nEach report's "
     "`.file` is the path key; `.diagnostics` is a list of\n[`LintDiagnostic`] instances with "
     "fully-typed `.rule`, `.severity`,\n`.message`, `.help`, `.fixable`, and `.span` "
     "attributes.\n\nThis getter supersedes the previous `list[dict]` return — callers that\nneed "
     "the plain dict shape can use `result.to_dict()[\"files\"]` or call\n`report.to_dict()` on "
     "individual file reports.",
     nullptr},
    {"truncated", &Boundary<lint_result_truncated>::call, nullptr,
     "`True` when the per-file diagnostic cap was hit; re-run after fixing.", nullptr},
    {"lint_warnings", &Boundary<lint_result_lint_warnings>::call, nullptr,
     "Warnings produced during linting — for example, unknown rule names\npassed in the `rules` "
     "mapping (D8 / AC-224-1).\n\nReturns an empty list when no warnings occurred (the common "
     "case).\nEach element is a human-readable warning string.\n\n**Absent-when-empty "
     "convention:** the backing JSON key `lint_warnings` is\nomitted when no warnings occurred.  "
     "As a result `\"lint_warnings\" not in\nr.to_dict()` and `r.lint_warnings == []` both "
     "describe the same \"no warnings\"\nstate — the Python attribute returns `[]` (idiomatic "
     "Python empty default)\nwhile `to_dict()` omits the key entirely.  This is consistent with "
     "the\nTypeScript surface (`lint_warnings?: string[]`) and intentionally asymmetric\nwith "
     "per-diagnostic optional fields (`help`, `span`, `fix_edits`) which follow\nthe "
     "always-present-key-with-JSON-null convention inside each diagnostic object.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& lint_result_definition() {
    static const ClassDefinition definition =
        define_class<LintResultState, lint_states_equal, lint_result_new, lint_result_repr>(
            "vorpel.LintResult", kLintResultDoc, kLintResultMethods, kLintResultGetters);
    return definition;
}

struct FileReportState {
    std::string file;
    std::vector<SharedRecord> diagnostics;
};

bool file_reports_equal(const FileReportState& a, const FileReportState& b) {
    if (a.file != b.file || a.diagnostics.size() != b.diagnostics.size()) return false;
    for (size_t i = 0; i < a.diagnostics.size(); ++i) {
        if (!records_equal(*a.diagnostics[i], *b.diagnostics[i])) return false;
    }
    return true;
}

OwnedJson file_report_wire(const FileReportState& state) {
    OwnedJson wire(Json::object());
    Json& diagnostics = (*wire)["diagnostics"] = Json::array();
    for (const SharedRecord& record : state.diagnostics)
        write_diagnostic(*record, diagnostics.emplace_back());
    (*wire)["file"] = state.file;
    return wire;
}

// The records of an iterable of LintDiagnostic, in iteration order.
bool extract_diagnostics(PyObject* value, std::vector<SharedRecord>& out) {
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) {
        if (std::optional<std::string> cause = take_exception_description()) {
            raise_tyx_error(invalid_options_error("diagnostics must be iterable: " + *cause));
        }
        return false;
    }
    if (!reserve_for_length_hint(value, out)) return false;
    PyTypeObject* diagnostic_type = lint_diagnostic_type();
    if (diagnostic_type == nullptr) return false;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        if (!PyObject_TypeCheck(item.get(), diagnostic_type)) {
            std::string reason = item.get() == Py_None
                                     ? std::string("'None'")
                                     : "'" + type_qualname(item.get()) + "' object";
            raise_tyx_error(
                invalid_options_error("diagnostics must be a list of LintDiagnostic: " + reason +
                                      " is not an instance of 'LintDiagnostic'"));
            return false;
        }
        out.push_back(state_of<SharedRecord>(item.get()));
    }
    return !PyErr_Occurred();
}

PyObject* file_report_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"file", "diagnostics"};
    static constexpr Signature kSignature = {"LintFileReport.__new__()", kParameters, 2};
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    FileReportState state;
    if (!extract_text(bound[0], "file", state.file) ||
        !extract_diagnostics(bound[1], state.diagnostics)) {
        return nullptr;
    }
    return allocate_instance(type, std::move(state));
}

PyObject* file_report_repr(PyObject* self) {
    const FileReportState& state = state_of<FileReportState>(self);
    std::string out = "LintFileReport(file=";
    append_quoted(state.file, out);
    out += ", diagnostics=<" + std::to_string(state.diagnostics.size()) + " item(s)>)";
    return text_to_python(out);
}

PyObject* file_report_file(PyObject* self, void*) {
    return text_to_python(state_of<FileReportState>(self).file);
}

PyObject* diagnostic_list(const std::vector<SharedRecord>& records) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject* diagnostic = new_lint_diagnostic_object(records[i]);
        if (diagnostic == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), diagnostic);
    }
    return list.release();
}

PyObject* file_report_diagnostics(PyObject* self, void*) {
    return diagnostic_list(state_of<FileReportState>(self).diagnostics);
}

PyObject* file_report_to_dict(PyObject* self, PyObject*) {
    return canonical_to_python(*file_report_wire(state_of<FileReportState>(self)));
}

PyObject* file_report_to_json(PyObject* self, PyObject*) {
    return compact_json_text(*file_report_wire(state_of<FileReportState>(self)));
}

PyObject* file_report_reduce(PyObject* self, PyObject*) {
    const FileReportState& state = state_of<FileReportState>(self);
    PyRef file(text_to_python(state.file));
    PyRef diagnostics(diagnostic_list(state.diagnostics));
    if (!file || !diagnostics) return nullptr;
    return reduce_value(self, PyTuple_Pack(2, file.get(), diagnostics.get()));
}

PyMethodDef kFileReportMethods[] = {
    {"to_dict", &Boundary<file_report_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the file report as a plain `dict` (matching the canonical wire "
     "shape)."},
    {"to_json", &Boundary<file_report_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the file report as a canonical JSON string."},
    {"__reduce__", &Boundary<file_report_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `LintFileReport(file, "
     "diagnostics_list)`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kFileReportGetters[] = {
    {"file", &Boundary<file_report_file>::call, nullptr, nullptr, nullptr},
    {"diagnostics", &Boundary<file_report_diagnostics>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& file_report_definition() {
    static const ClassDefinition definition =
        define_class<FileReportState, file_reports_equal, file_report_new, file_report_repr>(
            "vorpel.LintFileReport", kLintFileReportDoc, kFileReportMethods, kFileReportGetters);
    return definition;
}

bool shared_records_equal(const SharedRecord& a, const SharedRecord& b) {
    return records_equal(*a, *b);
}

const DiagnosticRecord& record_of(PyObject* self) {
    return *state_of<SharedRecord>(self);
}

// The first container that opens deeper than MAX_FIX_EDITS_DEPTH, as "line {} column {}", found
// before parsing so that the parser never builds a value too deep to convert.
std::optional<std::string> find_too_deep_nesting(std::string_view text) {
    int depth = 0;
    uint64_t line = 1;
    uint64_t column = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (c == '\n') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_FIX_EDITS_DEPTH) {
                return "recursion limit exceeded at line " + std::to_string(line) + " column " +
                       std::to_string(column);
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::nullopt;
}

// The parser's description without its "[json.exception....] " prefix.
std::string parse_error_description(const char* what) {
    std::string_view text(what);
    if (!text.empty() && text.front() == '[') {
        size_t end = text.find("] ");
        if (end != std::string_view::npos) text.remove_prefix(end + 2);
    }
    return std::string(text);
}

// The parser reports a number too large for a double without its position. It stopped at the
// first such number, so the position is that of the first number token outside strings whose
// text is the one reported: "line {} column {}" of its last character.
std::string locate_number_token(std::string_view text, std::string_view token) {
    auto is_number_char = [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    };
    uint64_t line = 1;
    uint64_t column = 0;
    bool in_string = false;
    bool escaped = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            column = 0;
            continue;
        }
        ++column;
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (is_number_char(c)) {
            size_t end = i;
            while (end < text.size() && is_number_char(text[end]))
                ++end;
            column += end - i - 1;
            if (text.substr(i, end - i) == token) {
                return "at line " + std::to_string(line) + " column " + std::to_string(column);
            }
            i = end - 1;
        }
    }
    return "at an unknown position";
}

// Builds a parsed value where its parts end up, inside a value the caller owns, so that a parse
// that runs out of memory leaves every part it made there; Json::parse would destroy a partial
// value of its own. The parser's events come in document order, and an array or object is
// added to only while it is the innermost one open, so the places of the open ones stay put.
class InPlaceBuilder {
  public:
    explicit InPlaceBuilder(Json& root) : root_(root) {}

    bool null() { return place(nullptr); }
    bool boolean(bool value) { return place(value); }
    bool number_integer(Json::number_integer_t value) { return place(value); }
    bool number_unsigned(Json::number_unsigned_t value) { return place(value); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return place(value); }
    bool string(Json::string_t& value) { return place(std::move(value)); }
    bool binary(Json::binary_t& value) { return place(std::move(value)); }
    bool start_object(size_t) { return open(Json::object()); }
    bool key(Json::string_t& name) {
        member_ = &(*open_.back())[std::move(name)];
        // Of two equal keys the later value is kept.
        release_json(*member_);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(size_t) { return open(Json::array()); }
    bool end_array() { return close(); }
    bool parse_error(size_t, const std::string&, const Json::exception& error) {
        error_ = error.what();
        number_overflow_ = dynamic_cast<const Json::out_of_range*>(&error) != nullptr;
        return false;
    }

    const std::string& error() const { return error_; }
    // The only range error of parsing, "number overflow parsing '{}'" with the number.
    bool number_overflow() const { return number_overflow_; }

  private:
    Json& next_place() {
        if (open_.empty()) return root_;
        Json& innermost = *open_.back();
        return innermost.is_array() ? innermost.get_ref<Json::array_t&>().emplace_back() : *member_;
    }
    template <class Value>
    bool place(Value&& value) {
        next_place() = std::forward<Value>(value);
        return true;
    }
    bool open(Json&& container) {
        Json& placed = next_place();
        placed = std::move(container);
        open_.push_back(&placed);
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Json& root_;
    std::vector<Json*> open_;
    Json* member_ = nullptr;
    std::string error_;
    bool number_overflow_ = false;
};

// A byte-order mark is no JSON white space, but the parser skips one that begins its input; it is
// refused as the parser refuses any other character that begins no value, by its first byte.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kByteOrderMarkFailure =
    "parse error at line 1, column 1: syntax error while parsing value - invalid literal; last "
    "read: '\xEF'";

bool parse_fix_edits(const std::string& text, std::optional<OwnedJson>& out) {
    std::optional<std::string> failure;
    if (text.starts_with(kByteOrderMark)) {
        failure = kByteOrderMarkFailure;
    } else {
        failure = find_too_deep_nesting(text);
    }
    OwnedJson parsed;
    if (!failure) {
        InPlaceBuilder builder(*parsed);
        if (!Json::sax_parse(text, &builder)) {
            std::string description = parse_error_description(builder.error().c_str());
            if (builder.number_overflow()) {
                size_t open = description.find('\'');
                std::string_view token;
                if (open != std::string::npos && description.size() > open + 1) {
                    token = std::string_view(description).substr(open + 1);
                    token.remove_suffix(1);
                }
                description += " " + locate_number_token(text, token);
            }
            failure = std::move(description);
        }
    }
    if (!failure && !parsed->is_array()) {
        failure = std::string("invalid type: ") + json_kind_name(*parsed) + ", expected an array";
    }
    if (failure) {
        PyErr_Format(PyExc_ValueError, "fix_edits_json is not valid JSON: %s", failure->c_str());
        return false;
    }
    out = std::move(parsed);
    return true;
}

PyObject* diagnostic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kParameters[] = {"rule",    "severity", "message",       "help",
                                                  "fixable", "span",     "fix_edits_json"};
    static constexpr Signature kSignature = {"LintDiagnostic.__new__()", kParameters, 3};
    static_assert(std::size(kParameters) <= MAX_PARAMETERS);
    BoundArguments bound;
    if (!bind_tuple_and_dict(kSignature, args, kwargs, bound)) return nullptr;
    DiagnosticRecord record;
    std::optional<std::string> fix_edits_json;
    if (!extract_text(bound[0], "rule", record.rule) ||
        !extract_text(bound[1], "severity", record.severity) ||
        !extract_text(bound[2], "message", record.message) ||
        !extract_optional_text(bound[3], "help", record.help)) {
        return nullptr;
    }
    if (bound[4] != nullptr && !extract_bool(bound[4], "fixable", record.fixable)) return nullptr;
    if (PyObject* span = bound[5]; span != nullptr && span != Py_None) {
        PyTypeObject* span_class = span_type();
        if (span_class == nullptr) return nullptr;
        if (!PyObject_TypeCheck(span, span_class)) {
            raise_not_instance(span, "Span", "span");
            return nullptr;
        }
        record.span = state_of<SpanRecord>(span);
    }
    if (!extract_optional_text(bound[6], "fix_edits_json", fix_edits_json)) return nullptr;
    if (fix_edits_json && !parse_fix_edits(*fix_edits_json, record.fix_edits)) return nullptr;
    return allocate_instance(
        type, SharedRecord(std::make_shared<const DiagnosticRecord>(std::move(record))));
}

PyObject* diagnostic_repr(PyObject* self) {
    const DiagnosticRecord& record = record_of(self);
    std::string out = "LintDiagnostic(rule=";
    append_quoted(record.rule, out);
    out += ", severity=";
    append_quoted(record.severity, out);
    out += ", message=";
    append_quoted(record.message, out);
    out += ", fixable=";
    append_bool(record.fixable, out);
    out += ')';
    return text_to_python(out);
}

PyObject* diagnostic_rule(PyObject* self, void*) {
    return text_to_python(record_of(self).rule);
}
PyObject* diagnostic_severity(PyObject* self, void*) {
    return text_to_python(record_of(self).severity);
}
PyObject* diagnostic_message(PyObject* self, void*) {
    return text_to_python(record_of(self).message);
}
PyObject* diagnostic_help(PyObject* self, void*) {
    const std::optional<std::string>& help = record_of(self).help;
    return help ? text_to_python(*help) : Py_NewRef(Py_None);
}
PyObject* diagnostic_fixable(PyObject* self, void*) {
    return PyBool_FromLong(record_of(self).fixable ? 1 : 0);
}
PyObject* diagnostic_span(PyObject* self, void*) {
    const std::optional<SpanRecord>& span = record_of(self).span;
    return span ? new_span_object(*span) : Py_NewRef(Py_None);
}
PyObject* diagnostic_fix_edits(PyObject* self, void*) {
    const std::optional<OwnedJson>& edits = record_of(self).fix_edits;
    return edits ? canonical_to_python(**edits) : Py_NewRef(Py_None);
}

PyObject* diagnostic_to_dict(PyObject* self, PyObject*) {
    return canonical_to_python(*diagnostic_wire(record_of(self)));
}

PyObject* diagnostic_to_json(PyObject* self, PyObject*) {
    return compact_json_text(*diagnostic_wire(record_of(self)));
}

PyObject* diagnostic_reduce(PyObject* self, PyObject*) {
    const DiagnosticRecord& record = record_of(self);
    PyRef rule(text_to_python(record.rule));
    PyRef severity(text_to_python(record.severity));
    PyRef message(text_to_python(record.message));
    PyRef help(record.help ? text_to_python(*record.help) : Py_NewRef(Py_None));
    PyRef fixable(PyBool_FromLong(record.fixable ? 1 : 0));
    PyRef span(record.span ? new_span_object(*record.span) : Py_NewRef(Py_None));
    PyRef edits(record.fix_edits ? compact_json_text(**record.fix_edits) : Py_NewRef(Py_None));
    if (!rule || !severity || !message || !help || !fixable || !span || !edits) return nullptr;
    return reduce_value(self, PyTuple_Pack(7, rule.get(), severity.get(), message.get(), help.get(),
                                           fixable.get(), span.get(), edits.get()));
}

PyMethodDef kDiagnosticMethods[] = {
    {"to_dict", &Boundary<diagnostic_to_dict>::call, METH_NOARGS,
     "to_dict($self)\n--\n\nReturn the diagnostic as a plain `dict`.\n\n`help` is `None` "
     "(Python) when the rule emits no hint; `span` is `None` (Python)\nwhen the rule emits no "
     "span — matching the canonical wire format produced by\n`to_canonical_json()` and all "
     "other surfaces."},
    {"to_json", &Boundary<diagnostic_to_json>::call, METH_NOARGS,
     "to_json($self)\n--\n\nReturn the diagnostic as a canonical JSON string."},
    {"__reduce__", &Boundary<diagnostic_reduce>::call, METH_NOARGS,
     "__reduce__($self)\n--\n\nReconstruct on unpickle via `LintDiagnostic(rule, severity, "
     "message, help, fixable, span, fix_edits_json)`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kDiagnosticGetters[] = {
    {"rule", &Boundary<diagnostic_rule>::call, nullptr, nullptr, nullptr},
    {"severity", &Boundary<diagnostic_severity>::call, nullptr, nullptr, nullptr},
    {"message", &Boundary<diagnostic_message>::call, nullptr, nullptr, nullptr},
    {"help", &Boundary<diagnostic_help>::call, nullptr, nullptr, nullptr},
    {"fixable", &Boundary<diagnostic_fixable>::call, nullptr, nullptr, nullptr},
    {"span", &Boundary<diagnostic_span>::call, nullptr, nullptr, nullptr},
    {"fix_edits", &Boundary<diagnostic_fix_edits>::call, nullptr,
     "The byte-range replacement edits the fix engine would apply, or `None`.\n\nEach edit is a "
     "dict with keys `start`, `end` (byte offsets into the\nsource), and `new_text` (replacement "
     "string). Returns `None` when no\nedits are associated with this diagnostic.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDefinition& diagnostic_definition() {
    static const ClassDefinition definition =
        define_class<SharedRecord, shared_records_equal, diagnostic_new, diagnostic_repr>(
            "vorpel.LintDiagnostic", kLintDiagnosticDoc, kDiagnosticMethods, kDiagnosticGetters);
    return definition;
}

}  // namespace

bool records_equal(const DiagnosticRecord& a, const DiagnosticRecord& b) {
    if (a.span != b.span || a.rule != b.rule || a.severity != b.severity ||
        a.message != b.message || a.help != b.help || a.fixable != b.fixable ||
        a.fix_edits.has_value() != b.fix_edits.has_value()) {
        return false;
    }
    return !a.fix_edits || json_equal(**a.fix_edits, **b.fix_edits);
}

PyTypeObject* lint_result_type() {
    return class_object<lint_result_definition>();
}
PyTypeObject* lint_file_report_type() {
    return class_object<file_report_definition>();
}
PyTypeObject* lint_diagnostic_type() {
    return class_object<diagnostic_definition>();
}

PyObject* new_lint_result_object(const LintResult& result,
                                 const std::optional<std::string>& warning) {
    OwnedJson report = LintResult::to_canonical_json(result);
    if (warning) {
        Json& warnings = (*report)["lint_warnings"] = Json::array();
        warnings.push_back(*warning);
    }
    return allocate_instance(lint_result_type(), LintResultState{std::move(report)});
}

PyObject* new_lint_diagnostic_object(SharedRecord record) {
    return allocate_instance(lint_diagnostic_type(), std::move(record));
}

PyObject* new_lint_file_report_object(std::string file, std::vector<SharedRecord> diagnostics) {
    return allocate_instance(lint_file_report_type(),
                             FileReportState{std::move(file), std::move(diagnostics)});
}

}  // namespace tyx::py
