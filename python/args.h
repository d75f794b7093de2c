// Binding call arguments to parameters and extracting them as the types the code needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/lint/diagnostic.h"
#include "core/resolver/lib.h"
#include "core/resolver/loaders.h"
#include "core/resolver/resolver.h"
#include "python/json_convert.h"

namespace tyx::py {

// The parameter list of one callable. `positional` may be passed by position or by keyword,
// except the first `positional_only` of them; the first `required` positional parameters must be
// given. `keyword_only` parameters are optional.
struct Signature {
    // As the messages show it, with "()" after it: "compile()", "Span.__new__()".
    const char* name;
    std::span<const char* const> positional;
    size_t required = 0;
    size_t positional_only = 0;
    std::span<const char* const> keyword_only = {};

    size_t parameter_count() const { return positional.size() + keyword_only.size(); }
};

// The largest parameter list of any callable of the module.
inline constexpr size_t MAX_PARAMETERS = 8;

// One borrowed object (or nullptr when absent) per parameter, positional parameters first.
struct BoundArguments {
    PyObject* slots[MAX_PARAMETERS] = {};
    PyObject* operator[](size_t index) const { return slots[index]; }
};

// Binds a fast-call argument vector with its tuple of keyword names; false with TypeError set
// when the arguments do not fit the signature.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArguments& bound);
// The same for a positional tuple and a keyword dict (either may be null), as tp_new gets them.
bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         BoundArguments& bound);

// How a module function's parameter takes its argument.
enum class Accepts : uint8_t {
    // A str, as a view of its UTF-8 text.
    Text,
    // A str or path-like object, as the bytes of the file-system encoding.
    Path,
    // Absent or None as nothing, else as Path.
    OptionalPath,
    // True or False (or numpy's boolean); absent is False.
    Bool,
    // Absent or None as nothing, else as Bool.
    OptionalBool,
    // Any object, converted later by its option's parser; absent is nullptr.
    Object,
};

struct Parameter {
    const char* name;
    Accepts accepts;
};

// The parameter list of a module function. Every positional parameter is required; the first
// `positional_only` of them cannot be passed by keyword.
struct FunctionParameters {
    // As the messages show it: "compile()".
    const char* name;
    std::span<const Parameter> positional;
    std::span<const Parameter> keyword_only = {};
    size_t positional_only = 0;
};

// The arguments of one call by parameter index, positional parameters first, each as its
// parameter accepts it. A text is a view into the call's own str object, which does not change
// and outlives the call, so it may be read while the interpreter lock is released.
class CallArguments {
  public:
    PyObject* object(size_t index) const { return slots_[index].object; }
    std::string_view text(size_t index) const { return slots_[index].text; }
    const std::string& path(size_t index) const { return *slots_[index].path; }
    const std::optional<std::string>& optional_path(size_t index) const {
        return slots_[index].path;
    }
    bool flag(size_t index) const { return slots_[index].flag.value_or(false); }
    std::optional<bool> optional_flag(size_t index) const { return slots_[index].flag; }

  private:
    friend bool bind_call_arguments(const FunctionParameters&, PyObject* const*, Py_ssize_t,
                                    PyObject*, CallArguments&);

    struct Slot {
        PyObject* object = nullptr;
        std::string_view text;
        std::optional<std::string> path;
        std::optional<bool> flag;
    };
    std::array<Slot, MAX_PARAMETERS> slots_;
};

// Binds a module function's fast-call arguments, then extracts them in parameter order; false
// with the first failure raised (TypeError from the binding, the extraction's own exception with
// the note naming the parameter).
bool bind_call_arguments(const FunctionParameters& parameters, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, CallArguments& out);

// Adds the note "while processing '{}'" to the exception being raised.
void add_parameter_note(const char* parameter);

// Raises TypeError "'{}' object is not an instance of '{}'" ("'None' is not an instance of
// '{}'" for None) with the note naming the parameter.
void raise_not_instance(PyObject* value, const char* expected, const char* parameter);

// The extractions below return false with the exception set, its note naming `parameter`.
// A str (subclasses included) as its UTF-8 text; a lone surrogate raises UnicodeEncodeError.
bool extract_text(PyObject* value, const char* parameter, std::string& out);
// The same without a copy: the view lies in the str's own UTF-8 buffer, which does not change
// and lives as long as the object, so it may be read while the interpreter lock is released.
bool extract_text_view(PyObject* value, const char* parameter, std::string_view& out);
// None as absent, else as extract_text.
bool extract_optional_text(PyObject* value, const char* parameter, std::optional<std::string>& out);
// True or False, or a numpy boolean scalar through its __bool__.
bool extract_bool(PyObject* value, const char* parameter, bool& out);
// Absent (nullptr) as `fallback`, else as extract_bool.
bool extract_bool_or(PyObject* value, const char* parameter, bool fallback, bool& out);
// Absent or None as nothing, else as extract_bool.
bool extract_optional_bool(PyObject* value, const char* parameter, std::optional<bool>& out);
// A str or path-like object through os.fspath, as the bytes of the file-system encoding.
bool extract_path(PyObject* value, const char* parameter, std::string& out);
// Absent or None as nothing, else as extract_path.
bool extract_optional_path(PyObject* value, const char* parameter, std::optional<std::string>& out);
// An int directly (a bool included) or any object through __index__, as 0..2^64-1.
bool extract_u64(PyObject* value, const char* parameter, uint64_t& out);
// None as absent, else as extract_u64.
bool extract_optional_u64(PyObject* value, const char* parameter, std::optional<uint64_t>& out);

// The checks of options and input sizes made before the interpreter lock is released. Each
// returns false with TyxError raised ("tyx::resource_limit" or "tyx::invalid_options").

// A source given as text, each text of `modules`, and the sum of all texts of `modules`.
inline constexpr uint64_t MAX_MODULES_TOTAL_SIZE = MAX_SOURCE_SIZE;

// `length` is the source's UTF-8 length; exactly MAX_SOURCE_SIZE bytes pass.
bool check_source_size(size_t length);
// An empty base path would silently resolve against nothing, so it is refused when given.
bool reject_empty_base_path(const std::optional<std::string>& base_path);

// `sources_content` needs `source_map`; the options carry no base for display paths.
bool check_source_map_options(bool source_map, bool sources_content, CompileOptions& out);

// Raises TyxError "tyx::invalid_options" with `prefix` and the failure's description, or leaves
// the exception that stopped the reading raised when it is Python's own control flow; returns
// nullptr.
std::nullptr_t raise_read_failure(std::string_view prefix, const ReadFailure& failure);

// Absent or None gives an empty snapshot; otherwise `members` is the snapshot of a mapping whose
// values nest at most MAX_VALUE_DEPTH deep. The Values are built by build_vars_map, which needs
// no Python object and so runs after the lock is released.
bool parse_vars_option(PyObject* vars, PythonSnapshot& members);
// The VarsMap of the members that parse_vars_option accepted; empty for none.
Result<VarsMap> build_vars_map(PythonSnapshot members);

// A mapping of module key to source text, within MAX_MODULES entries and MAX_SOURCE_SIZE bytes
// for each text and for their sum.
bool parse_modules_option(PyObject* modules, ModuleMap& out);
// The TyxError instance for a `modules` of `count` entries, more than MAX_MODULES.
PyObject* module_count_error(size_t count);

using tyx::KNOWN_RULES;
using tyx::RuleSeverityMap;
using tyx::Severity;

// Absent or None gives the empty map. Unknown rule ids stay in the map and give the one
// warning text that names them all.
bool parse_rules_option(PyObject* rules, RuleSeverityMap& out, std::optional<std::string>& warning);

}  // namespace tyx::py
