#include "python/functions.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/evaluator.h"
#include "core/frontmatter/frontmatter.h"
#include "core/keyed_tables.h"
#include "core/lexer.h"
#include "core/lint/diagnostic.h"
#include "core/lint/lint_entry.h"
#include "core/parser.h"
#include "core/resolver/frontmatter_imports.h"
#include "core/resolver/lib.h"
#include "core/resolver/loaders.h"
#include "core/resolver/resolver.h"
#include "python/args.h"
#include "python/boundary.h"
#include "python/errors.h"
#include "python/function_docs.h"
#include "python/json_convert.h"
#include "python/native_stack.h"
#include "python/pyref.h"
#include "python/results.h"

namespace tyx::py {
namespace {

// Runs `work` with the interpreter lock released, where the stack holds all it may need. The
// lock is taken again in this frame, after the work and never while an exception unwinds: an
// interpreter that is finalizing ends a daemon thread there by unwinding its stack, and that
// unwind passes through the frames above this one, which hold no Python object (see Boundary).
template <class Work>
auto without_lock(Work&& work) {
    PyThreadState* thread = PyEval_SaveThread();
    auto outcome = run_with_sufficient_stack(work);
    PyEval_RestoreThread(thread);
    return std::move(outcome).take();
}

template <class Payload>
CoreOutcome<Payload> outcome_of(Result<Payload>&& result) {
    if (!result.ok()) {
        return CoreOutcome<Payload>(std::in_place_index<1>, std::move(result).take_error());
    }
    return CoreOutcome<Payload>(std::in_place_index<0>, std::move(result).value());
}

// Core work that fails only with a CompileError: an exception that escapes it is a broken
// invariant and goes on to the module boundary.
template <class Payload, class Work>
CoreOutcome<Payload> run_without_lock(Work&& work) {
    return without_lock([&] { return outcome_of<Payload>(work()); });
}

// The same for the functions that report any other unexpected failure as "tyx::internal".
template <class Payload, class Work>
CoreOutcome<Payload> run_guarded_without_lock(Work&& work) {
    return without_lock([&] {
        try {
            return outcome_of<Payload>(work());
        } catch (const std::bad_alloc&) {
            // Running out of memory breaks no invariant: it reaches the caller as MemoryError.
            throw;
        } catch (...) {
            return CoreOutcome<Payload>(std::in_place_index<2>, InternalFailure{});
        }
    });
}

// The result keeps the compilation's parts as they are; its canonical JSON is built only when
// asked for.
Result<CoreCompileResult> compile_result(CompileOutput output, std::vector<std::string> warnings,
                                         std::vector<std::string> dependencies) {
    return CoreCompileResult::from_output(std::move(output), std::move(warnings),
                                          std::move(dependencies));
}

PyObject* compile_result_from(CoreOutcome<CoreCompileResult> outcome) {
    std::optional<CoreCompileResult> result = convert_outcome(std::move(outcome));
    if (!result) return nullptr;
    return new_compile_result_object(std::move(*result));
}

PyObject* check_result_from(CoreOutcome<std::vector<std::string>> outcome) {
    std::optional<std::vector<std::string>> warnings = convert_outcome(std::move(outcome));
    if (!warnings) return nullptr;
    return new_check_result_object(std::move(*warnings));
}

PyObject* lint_result_from(CoreOutcome<LintResult> outcome,
                           const std::optional<std::string>& warning) {
    std::optional<LintResult> result = convert_outcome(std::move(outcome));
    if (!result) return nullptr;
    return new_lint_result_object(*result, warning);
}

constexpr Parameter kSourceParameter[] = {{"source", Accepts::Text}};
constexpr Parameter kPathParameter[] = {{"path", Accepts::Path}};
constexpr Parameter kVirtualParameters[] = {{"modules", Accepts::Object}, {"entry", Accepts::Text}};

constexpr Parameter kVars = {"vars", Accepts::Object};
constexpr Parameter kBasePath = {"base_path", Accepts::OptionalPath};
constexpr Parameter kRules = {"rules", Accepts::Object};
constexpr Parameter kSourceMap = {"source_map", Accepts::Bool};
constexpr Parameter kSourcesContent = {"sources_content", Accepts::Bool};
// check() takes the two switches only to refuse them, so None stands for absent there.
constexpr Parameter kRefusedSourceMap = {"source_map", Accepts::OptionalBool};
constexpr Parameter kRefusedSourcesContent = {"sources_content", Accepts::OptionalBool};

constexpr Parameter kCompileSourceOptions[] = {kVars, kBasePath, kSourceMap, kSourcesContent};
constexpr Parameter kCompileOptions[] = {kVars, kSourceMap, kSourcesContent};
constexpr Parameter kCheckSourceOptions[] = {kVars, kBasePath, kRefusedSourceMap,
                                             kRefusedSourcesContent};
constexpr Parameter kCheckOptions[] = {kVars};
constexpr Parameter kLintSourceOptions[] = {kVars, kBasePath, kRules};
constexpr Parameter kLintOptions[] = {kVars, kRules};

PyObject* compile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"compile()", kSourceParameter,
                                                    kCompileSourceOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view source = arguments.text(0);
    const std::optional<std::string>& base_path = arguments.optional_path(2);
    PythonSnapshot vars;
    CompileOptions options;
    if (!check_source_size(source.size()) || !reject_empty_base_path(base_path) ||
        !parse_vars_option(arguments.object(1), vars) ||
        !check_source_map_options(arguments.flag(3), arguments.flag(4), options)) {
        return nullptr;
    }
    return compile_result_from(
        run_guarded_without_lock<CoreCompileResult>([&]() -> Result<CoreCompileResult> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(BaseDirectory base_dir, resolve_base_dir(base_path));
            Resolver resolver;
            std::vector<std::string> warnings;
            TYX_ASSIGN_OR_RETURN(
                CompileOutput output,
                compile_source_text(resolver, source, base_dir, &vars_map, options, warnings));
            return compile_result(std::move(output), std::move(warnings), resolver.dependencies());
        }));
}

PyObject* compile_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"compile_file()", kPathParameter,
                                                    kCompileOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    const std::string& path_bytes = arguments.path(0);
    PythonSnapshot vars;
    CompileOptions options;
    if (!parse_vars_option(arguments.object(1), vars) ||
        !check_source_map_options(arguments.flag(2), arguments.flag(3), options)) {
        return nullptr;
    }
    return compile_result_from(
        run_without_lock<CoreCompileResult>([&]() -> Result<CoreCompileResult> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(std::string path, path_to_utf8_string(path_bytes));
            Resolver resolver;
            TYX_ASSIGN_OR_RETURN(std::string key, resolver.loader().resolve(path));
            std::vector<std::string> warnings;
            TYX_ASSIGN_OR_RETURN(CompileOutput output,
                                 compile_entry_key(resolver, key, &vars_map, options, warnings));
            // The entry never lists itself: its key is the canonical path its imports would name.
            return compile_result(std::move(output), std::move(warnings),
                                  resolver.dependencies(key));
        }));
}

PyObject* compile_virtual(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"compile_virtual()", kVirtualParameters,
                                                    kCompileOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view entry = arguments.text(1);
    ModuleMap modules;
    PythonSnapshot vars;
    CompileOptions options;
    if (!parse_modules_option(arguments.object(0), modules) ||
        !parse_vars_option(arguments.object(2), vars) ||
        !check_source_map_options(arguments.flag(3), arguments.flag(4), options)) {
        return nullptr;
    }
    return compile_result_from(
        run_without_lock<CoreCompileResult>([&]() -> Result<CoreCompileResult> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            Resolver resolver = new_virtual_resolver(std::move(modules));
            std::vector<std::string> warnings;
            TYX_ASSIGN_OR_RETURN(CompileOutput output,
                                 compile_entry_key(resolver, entry, &vars_map, options, warnings));
            return compile_result(std::move(output), std::move(warnings),
                                  resolver.dependencies(entry));
        }));
}

PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"check()", kSourceParameter,
                                                    kCheckSourceOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view source = arguments.text(0);
    const std::optional<std::string>& base_path = arguments.optional_path(2);
    if (!check_source_size(source.size()) || !reject_empty_base_path(base_path)) return nullptr;
    // Even False is refused: a check builds no map, so any value would be silently ignored.
    if (arguments.optional_flag(3) || arguments.optional_flag(4)) {
        return raise_tyx_error(invalid_options_error(
            "source maps are not available for check(); use compile() instead"));
    }
    PythonSnapshot vars;
    if (!parse_vars_option(arguments.object(1), vars)) return nullptr;
    return check_result_from(
        run_without_lock<std::vector<std::string>>([&]() -> Result<std::vector<std::string>> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(BaseDirectory base_dir, resolve_base_dir(base_path));
            Resolver resolver;
            std::vector<std::string> warnings;
            TYX_TRY(compile_root_source(resolver, source, base_dir, &vars_map, warnings));
            return warnings;
        }));
}

PyObject* check_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"check_file()", kPathParameter, kCheckOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    const std::string& path_bytes = arguments.path(0);
    PythonSnapshot vars;
    if (!parse_vars_option(arguments.object(1), vars)) return nullptr;
    return check_result_from(
        run_without_lock<std::vector<std::string>>([&]() -> Result<std::vector<std::string>> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(std::string path, path_to_utf8_string(path_bytes));
            Resolver resolver;
            std::vector<std::string> warnings;
            TYX_TRY(compile_entry_path(resolver, path, &vars_map, warnings));
            return warnings;
        }));
}

PyObject* check_virtual(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"check_virtual()", kVirtualParameters,
                                                    kCheckOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view entry = arguments.text(1);
    ModuleMap modules;
    PythonSnapshot vars;
    if (!parse_modules_option(arguments.object(0), modules) ||
        !parse_vars_option(arguments.object(2), vars)) {
        return nullptr;
    }
    return check_result_from(
        run_without_lock<std::vector<std::string>>([&]() -> Result<std::vector<std::string>> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            Resolver resolver = new_virtual_resolver(std::move(modules));
            std::vector<std::string> warnings;
            TYX_TRY(compile_entry_key_without_map(resolver, entry, &vars_map, warnings));
            return warnings;
        }));
}

PyObject* lint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"lint()", kSourceParameter, kLintSourceOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view source = arguments.text(0);
    const std::optional<std::string>& base_path = arguments.optional_path(2);
    PythonSnapshot vars;
    RuleSeverityMap rules;
    std::optional<std::string> warning;
    if (!check_source_size(source.size()) || !reject_empty_base_path(base_path) ||
        !parse_vars_option(arguments.object(1), vars) ||
        !parse_rules_option(arguments.object(3), rules, warning)) {
        return nullptr;
    }
    return lint_result_from(
        run_guarded_without_lock<LintResult>([&]() -> Result<LintResult> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(BaseDirectory base_dir, resolve_base_dir(base_path));
            return lint_source_text(source, base_dir, &vars_map, rules);
        }),
        warning);
}

PyObject* lint_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"lint_file()", kPathParameter, kLintOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    const std::string& path_bytes = arguments.path(0);
    PythonSnapshot vars;
    RuleSeverityMap rules;
    std::optional<std::string> warning;
    if (!parse_vars_option(arguments.object(1), vars) ||
        !parse_rules_option(arguments.object(2), rules, warning)) {
        return nullptr;
    }
    return lint_result_from(
        run_guarded_without_lock<LintResult>([&]() -> Result<LintResult> {
            TYX_ASSIGN_OR_RETURN(std::string path, path_to_utf8_string(path_bytes));
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            return lint_entry_path(path, &vars_map, rules);
        }),
        warning);
}

PyObject* lint_virtual(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{"lint_virtual()", kVirtualParameters,
                                                    kLintOptions};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view entry = arguments.text(1);
    ModuleMap modules;
    PythonSnapshot vars;
    RuleSeverityMap rules;
    std::optional<std::string> warning;
    if (!parse_modules_option(arguments.object(0), modules) ||
        !parse_vars_option(arguments.object(2), vars) ||
        !parse_rules_option(arguments.object(3), rules, warning)) {
        return nullptr;
    }
    return lint_result_from(run_guarded_without_lock<LintResult>([&]() -> Result<LintResult> {
                                TYX_ASSIGN_OR_RETURN(VarsMap vars_map,
                                                     build_vars_map(std::move(vars)));
                                return lint_entry_key(std::move(modules), entry, &vars_map, rules);
                            }),
                            warning);
}

// Paths in the order of their first occurrence, each once.
class OrderedPaths {
  public:
    void add(std::string_view path) {
        if (seen_.emplace(path).second) paths_.emplace_back(path);
    }
    std::vector<std::string> take() && { return std::move(paths_); }

  private:
    std::vector<std::string> paths_;
    KeyedTextSet seen_;
};

// The import and re-export paths a template names, as written; resolves and reads nothing.
Result<std::vector<std::string>> scan_import_paths(std::string_view source) {
    TYX_ASSIGN_OR_RETURN(ParsedTemplate parsed, parse_source(SharedText::borrowed(source), ""));
    OrderedPaths paths;
    if (parsed.extends) paths.add(*parsed.extends);
    if (parsed.frontmatter) {
        Result<YamlValue> frontmatter = parse_frontmatter_yaml(*parsed.frontmatter);
        // Malformed YAML only hides the frontmatter's paths; a passed limit stops the scan.
        if (!frontmatter.ok()) {
            if (frontmatter.error().kind == ErrorKind::ResourceLimit) {
                return std::move(frontmatter).take_error();
            }
        } else if (frontmatter->is_mapping()) {
            if (const YamlValue* imports = frontmatter->as_mapping().find("imports")) {
                Result<std::vector<FrontmatterImport>> entries =
                    parse_frontmatter_imports(*imports);
                if (entries.ok()) {
                    for (const FrontmatterImport& entry : *entries)
                        paths.add(entry.path);
                } else if (entries.error().kind == ErrorKind::ResourceLimit) {
                    return std::move(entries).take_error();
                }
            }
        }
    }
    for (const Node& node : parsed.body) {
        if (const auto* import = node_if<Node::Import>(node)) {
            std::visit([&](const auto& kind) { paths.add(kind.path); }, import->kind.value);
        } else if (const auto* exported = node_if<Node::Export>(node)) {
            if (const auto* named = std::get_if<ExportKind::ReexportName>(&exported->kind.value)) {
                paths.add(named->path);
            } else if (const auto* all =
                           std::get_if<ExportKind::ReexportAll>(&exported->kind.value)) {
                paths.add(all->path);
            }
        }
    }
    return std::move(paths).take();
}

PyObject* scan_imports(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionParameters kParameters{
        .name = "scan_imports()", .positional = kSourceParameter, .positional_only = 1};
    CallArguments arguments;
    if (!bind_call_arguments(kParameters, args, nargs, kwnames, arguments)) return nullptr;
    std::string_view source = arguments.text(0);
    if (!check_source_size(source.size())) return nullptr;
    Result<std::vector<std::string>> paths =
        without_lock([&] { return scan_import_paths(source); });
    if (!paths.ok()) return raise_tyx_error(convert_core_error(paths.error()));
    return string_list_to_python(*paths);
}

template <auto Function>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Boundary<Function>::call)),
            kFunctionFlags, doc};
}

}  // namespace

PyMethodDef* module_function_definitions() {
    static PyMethodDef definitions[] = {
        method<compile>("compile", kCompileDoc),
        method<compile_file>("compile_file", kCompileFileDoc),
        method<compile_virtual>("compile_virtual", kCompileVirtualDoc),
        method<check>("check", kCheckDoc),
        method<check_file>("check_file", kCheckFileDoc),
        method<check_virtual>("check_virtual", kCheckVirtualDoc),
        method<scan_imports>("scan_imports", kScanImportsDoc),
        method<lint>("lint", kLintDoc),
        method<lint_file>("lint_file", kLintFileDoc),
        method<lint_virtual>("lint_virtual", kLintVirtualDoc),
        {nullptr, nullptr, 0, nullptr},
    };
    return definitions;
}

}  // namespace tyx::py
