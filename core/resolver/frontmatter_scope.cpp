#include "core/resolver/frontmatter_scope.h"

#include "core/format.h"
#include "core/frontmatter/frontmatter.h"
#include "core/resolver/module.h"

namespace tyx {
namespace {

bool defines_prompt(const CompiledModule& module) {
    return is_importable(module) && module.body_text != nullptr;
}

CompileError not_exported_error(std::string_view name, std::string_view path, size_t index) {
    return CompileError::of(ErrorKind::Import, "'" + std::string(name) +
                                                   "' is not exported from '" + std::string(path) +
                                                   "' (in frontmatter imports[" + decimal(index) +
                                                   "])");
}

}  // namespace

Result<FrontmatterScope> build_frontmatter_scope(std::optional<std::string_view> frontmatter,
                                                 bool plain_markdown, const VarsMap* vars) {
    if (!frontmatter) return build_frontmatter_scope(frontmatter, nullptr, plain_markdown, vars);
    TYX_ASSIGN_OR_RETURN(YamlValue value, parse_frontmatter_yaml(*frontmatter));
    return build_frontmatter_scope(frontmatter, &value, plain_markdown, vars);
}

Result<FrontmatterScope> build_frontmatter_scope(std::optional<std::string_view> frontmatter,
                                                 const YamlValue* parsed, bool plain_markdown,
                                                 const VarsMap* vars) {
    FrontmatterScope result;
    // A plain Markdown file is a template only through its `type: tyx` line; otherwise its
    // `imports` key is an ordinary variable.
    const bool template_module =
        !plain_markdown || (frontmatter && scan_frontmatter_type_line(*frontmatter));
    if (parsed != nullptr) {
        const YamlValue& value = *parsed;
        if (value.is_mapping()) {
            for (const auto& [key, entry] : value.as_mapping().entries()) {
                if (!key.is_string()) continue;
                const std::string& name = key.as_string();
                if (name == "type" && plain_markdown) continue;
                if (name == "imports" && template_module) {
                    TYX_ASSIGN_OR_RETURN(result.imports, parse_frontmatter_imports(entry));
                    continue;
                }
                TYX_ASSIGN_OR_RETURN(Value converted, value_from_yaml(entry, 0));
                result.scope.define_variable(name, std::move(converted));
            }
        }
    }
    if (vars != nullptr) {
        if (template_module && vars->contains("imports")) {
            return CompileError::of(ErrorKind::Import,
                                    "'imports' is a reserved frontmatter key for TYX files and "
                                    "cannot be set via --set");
        }
        for (const auto& [name, value] : *vars)
            result.scope.define_variable(name, value);
    }
    return result;
}

CompileError describe_frontmatter_import_error(CompileError error, size_t index) {
    if (error.location.span || error.location.source) return error;
    const std::string suffix = " (in frontmatter imports[" + decimal(index) + "])";
    switch (error.kind) {
        case ErrorKind::CircularImport:
            return CompileError::of(ErrorKind::Import,
                                    "circular import detected: " + error.text + suffix);
        case ErrorKind::FileNotFound:
            return CompileError::of(ErrorKind::Import,
                                    "file not found: \"" + error.text + "\"" + suffix);
        case ErrorKind::ModuleNotFound:
            return CompileError::of(ErrorKind::Import,
                                    "module not found: \"" + error.text + "\"" + suffix);
        case ErrorKind::Import:
            // An error from the imported module's own imports list is already placed.
            if (error.text.find("in frontmatter") != std::string::npos) return error;
            return CompileError::of(ErrorKind::Import, error.text + suffix);
        default:
            return error;
    }
}

Status bind_frontmatter_imports(Resolver& resolver, const std::vector<FrontmatterImport>& entries,
                                Scope& scope, const ModuleSource& importer,
                                std::vector<std::string>& warnings) {
    for (size_t index = 0; index < entries.size(); ++index) {
        const FrontmatterImport& entry = entries[index];
        if (entry.kind == FrontmatterImportKind::Alias &&
            scope.lookup_import_alias(entry.alias) != nullptr) {
            return CompileError::of(ErrorKind::NameCollision, entry.alias);
        }
        Result<CompiledModulePtr> resolved =
            resolver.import_module(importer.base_dir, entry.path, importer.vars, warnings);
        if (!resolved.ok()) {
            return describe_frontmatter_import_error(std::move(resolved).take_error(), index);
        }
        const CompiledModule& module = **resolved;
        switch (entry.kind) {
            case FrontmatterImportKind::Alias:
                scope.define_import_alias(entry.alias, build_imported_module(module));
                break;
            case FrontmatterImportKind::Whole:
                for (const auto& [name, function] : exported_functions(module)) {
                    if (scope.lookup_function(name) != nullptr) {
                        return CompileError::of(ErrorKind::NameCollision, name);
                    }
                    scope.define_function(name, function);
                }
                if (defines_prompt(module)) {
                    scope.define_variable("prompt", Value::string(*module.body_text));
                }
                break;
            case FrontmatterImportKind::Selective:
                for (const std::string& name : entry.names) {
                    if (name == "prompt") {
                        if (!defines_prompt(module)) {
                            return not_exported_error(name, entry.path, index);
                        }
                        scope.define_variable("prompt", Value::string(*module.body_text));
                        continue;
                    }
                    std::shared_ptr<const FunctionDef> function =
                        lookup_exported_function(module, name);
                    if (!function) return not_exported_error(name, entry.path, index);
                    scope.define_function(name, std::move(function));
                }
                break;
        }
    }
    return {};
}

}  // namespace tyx
