#include "python/functions.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/evaluator.h"
#include "core/frontmatter.h"
#include "core/lexer.h"
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
#include "python/pyref.h"
#include "python/results.h"

namespace tyx::py {
namespace {

// Runs `work` with the interpreter lock released and takes the lock again on every way out, an
// exception included, so that no Python object is touched without it.
template <class Work>
auto without_lock(Work&& work) {
    struct Reacquire {
        PyThreadState* thread;
        ~Reacquire() { PyEval_RestoreThread(thread); }
    } reacquire{PyEval_SaveThread()};
    return work();
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

// The same for the functions that report any unexpected failure as "tyx::internal".
template <class Payload, class Work>
CoreOutcome<Payload> run_guarded_without_lock(Work&& work) {
    return without_lock([&] {
        try {
            return outcome_of<Payload>(work());
        } catch (...) {
            return CoreOutcome<Payload>(std::in_place_index<2>, InternalFailure{});
        }
    });
}

// A compilation's canonical JSON is plain data, so it is built before the lock is taken again.
Result<nlohmann::json> canonical_result(CompileOutput output, std::vector<std::string> warnings,
                                        std::vector<std::string> dependencies) {
    return CoreCompileResult::to_canonical_json(CoreCompileResult::from_output(
        std::move(output), std::move(warnings), std::move(dependencies)));
}

PyObject* compile_result_from(CoreOutcome<nlohmann::json> outcome) {
    std::optional<nlohmann::json> canonical = convert_outcome(std::move(outcome));
    if (!canonical) return nullptr;
    return new_compile_result_object(std::move(*canonical));
}

PyObject* check_result_from(CoreOutcome<std::vector<std::string>> outcome) {
    std::optional<std::vector<std::string>> warnings = convert_outcome(std::move(outcome));
    if (!warnings) return nullptr;
    return new_check_result_object(std::move(*warnings));
}

constexpr std::array<const char*, 1> kSourceParameter = {"source"};
constexpr std::array<const char*, 1> kPathParameter = {"path"};
constexpr std::array<const char*, 2> kVirtualParameters = {"modules", "entry"};
constexpr std::array<const char*, 4> kSourceOptions = {"vars", "base_path", "source_map",
                                                       "sources_content"};
constexpr std::array<const char*, 3> kMapOptions = {"vars", "source_map", "sources_content"};
constexpr std::array<const char*, 1> kVarsOption = {"vars"};

PyObject* compile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSignature{.name = "compile()",
                                          .positional = kSourceParameter,
                                          .required = 1,
                                          .keyword_only = kSourceOptions};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view source;
    std::optional<std::string> base_path;
    bool source_map = false;
    bool sources_content = false;
    if (!extract_text_view(bound[0], "source", source) ||
        !extract_optional_path(bound[2], "base_path", base_path) ||
        !extract_bool_or(bound[3], "source_map", false, source_map) ||
        !extract_bool_or(bound[4], "sources_content", false, sources_content)) {
        return nullptr;
    }
    PythonSnapshot vars;
    CompileOptions options;
    if (!check_source_size(source.size()) || !reject_empty_base_path(base_path) ||
        !parse_vars_option(bound[1], vars) ||
        !check_source_map_options(source_map, sources_content, options)) {
        return nullptr;
    }
    return compile_result_from(
        run_guarded_without_lock<nlohmann::json>([&]() -> Result<nlohmann::json> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(std::string base_dir, resolve_base_dir(base_path));
            Resolver resolver;
            std::vector<std::string> warnings;
            TYX_ASSIGN_OR_RETURN(
                CompileOutput output,
                compile_source_text(resolver, source, base_dir, &vars_map, options, warnings));
            return canonical_result(std::move(output), std::move(warnings),
                                    resolver.dependencies());
        }));
}

PyObject* compile_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSignature{.name = "compile_file()",
                                          .positional = kPathParameter,
                                          .required = 1,
                                          .keyword_only = kMapOptions};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string path_bytes;
    bool source_map = false;
    bool sources_content = false;
    if (!extract_path(bound[0], "path", path_bytes) ||
        !extract_bool_or(bound[2], "source_map", false, source_map) ||
        !extract_bool_or(bound[3], "sources_content", false, sources_content)) {
        return nullptr;
    }
    PythonSnapshot vars;
    CompileOptions options;
    if (!parse_vars_option(bound[1], vars) ||
        !check_source_map_options(source_map, sources_content, options)) {
        return nullptr;
    }
    return compile_result_from(run_without_lock<nlohmann::json>([&]() -> Result<nlohmann::json> {
        TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
        TYX_ASSIGN_OR_RETURN(std::string path, path_to_utf8_string(path_bytes));
        Resolver resolver;
        TYX_ASSIGN_OR_RETURN(std::string key, resolver.loader().resolve(path));
        std::vector<std::string> warnings;
        TYX_ASSIGN_OR_RETURN(CompileOutput output,
                             compile_entry_key(resolver, key, &vars_map, options, warnings));
        // The entry never lists itself, under the name its imports would give it.
        Result<std::string> entry = canonicalize_import_path(path);
        std::string entry_key = entry.ok() ? std::move(entry).value() : path;
        return canonical_result(std::move(output), std::move(warnings),
                                resolver.dependencies(entry_key));
    }));
}

PyObject* compile_virtual(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSignature{.name = "compile_virtual()",
                                          .positional = kVirtualParameters,
                                          .required = 2,
                                          .keyword_only = kMapOptions};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view entry;
    bool source_map = false;
    bool sources_content = false;
    if (!extract_text_view(bound[1], "entry", entry) ||
        !extract_bool_or(bound[3], "source_map", false, source_map) ||
        !extract_bool_or(bound[4], "sources_content", false, sources_content)) {
        return nullptr;
    }
    ModuleMap modules;
    PythonSnapshot vars;
    CompileOptions options;
    if (!parse_modules_option(bound[0], modules) || !parse_vars_option(bound[2], vars) ||
        !check_source_map_options(source_map, sources_content, options)) {
        return nullptr;
    }
    return compile_result_from(run_without_lock<nlohmann::json>([&]() -> Result<nlohmann::json> {
        TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
        Resolver resolver = new_virtual_resolver(std::move(modules));
        std::vector<std::string> warnings;
        TYX_ASSIGN_OR_RETURN(CompileOutput output,
                             compile_entry_key(resolver, entry, &vars_map, options, warnings));
        return canonical_result(std::move(output), std::move(warnings),
                                resolver.dependencies(entry));
    }));
}

PyObject* check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSignature{.name = "check()",
                                          .positional = kSourceParameter,
                                          .required = 1,
                                          .keyword_only = kSourceOptions};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view source;
    std::optional<std::string> base_path;
    std::optional<bool> source_map;
    std::optional<bool> sources_content;
    if (!extract_text_view(bound[0], "source", source) ||
        !extract_optional_path(bound[2], "base_path", base_path) ||
        !extract_optional_bool(bound[3], "source_map", source_map) ||
        !extract_optional_bool(bound[4], "sources_content", sources_content)) {
        return nullptr;
    }
    if (!check_source_size(source.size()) || !reject_empty_base_path(base_path)) return nullptr;
    // Even False is refused: a check builds no map, so any value would be silently ignored.
    if (source_map || sources_content) {
        return raise_tyx_error(invalid_options_error(
            "source maps are not available for check(); use compile() instead"));
    }
    PythonSnapshot vars;
    if (!parse_vars_option(bound[1], vars)) return nullptr;
    return check_result_from(
        run_without_lock<std::vector<std::string>>([&]() -> Result<std::vector<std::string>> {
            TYX_ASSIGN_OR_RETURN(VarsMap vars_map, build_vars_map(std::move(vars)));
            TYX_ASSIGN_OR_RETURN(std::string base_dir, resolve_base_dir(base_path));
            Resolver resolver;
            std::vector<std::string> warnings;
            TYX_TRY(compile_root_source(resolver, source, base_dir, &vars_map, warnings));
            return warnings;
        }));
}

PyObject* check_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature kSignature{.name = "check_file()",
                                          .positional = kPathParameter,
                                          .required = 1,
                                          .keyword_only = kVarsOption};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string path_bytes;
    if (!extract_path(bound[0], "path", path_bytes)) return nullptr;
    PythonSnapshot vars;
    if (!parse_vars_option(bound[1], vars)) return nullptr;
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
    static constexpr Signature kSignature{.name = "check_virtual()",
                                          .positional = kVirtualParameters,
                                          .required = 2,
                                          .keyword_only = kVarsOption};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view entry;
    if (!extract_text_view(bound[1], "entry", entry)) return nullptr;
    ModuleMap modules;
    PythonSnapshot vars;
    if (!parse_modules_option(bound[0], modules) || !parse_vars_option(bound[2], vars)) {
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

// Paths in the order of their first occurrence, each once.
class OrderedPaths {
  public:
    void add(const std::string& path) {
        if (seen_.insert(path).second) paths_.push_back(path);
    }
    std::vector<std::string> take() && { return std::move(paths_); }

  private:
    std::vector<std::string> paths_;
    std::unordered_set<std::string> seen_;
};

// The import and re-export paths a template names, as written; resolves and reads nothing.
Result<std::vector<std::string>> scan_import_paths(std::string_view source) {
    TYX_ASSIGN_OR_RETURN(std::vector<Token> tokens, tokenize(source, ""));
    TYX_ASSIGN_OR_RETURN(ParsedTemplate parsed, parse_template(tokens, "", source));
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
        if (const auto* import = std::get_if<Node::Import>(&node.value)) {
            std::visit([&](const auto& kind) { paths.add(kind.path); }, import->kind.value);
        } else if (const auto* exported = std::get_if<Node::Export>(&node.value)) {
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
    static constexpr Signature kSignature{.name = "scan_imports()",
                                          .positional = kSourceParameter,
                                          .required = 1,
                                          .positional_only = 1};
    BoundArguments bound;
    if (!bind_fastcall(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view source;
    if (!extract_text_view(bound[0], "source", source)) return nullptr;
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
        {nullptr, nullptr, 0, nullptr},
    };
    return definitions;
}

}  // namespace tyx::py
