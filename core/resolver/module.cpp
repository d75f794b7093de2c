#include "core/resolver/module.h"

#include "core/format.h"
#include "core/resolver/source_path.h"

namespace tyx {

SharedSource make_shared_source(std::string_view key, std::string_view display_name,
                                std::string_view text) {
    return SharedSource{std::make_shared<const std::string>(key),
                        std::make_shared<const std::string>(display_name),
                        std::make_shared<const std::string>(text)};
}

bool is_importable(const CompiledModule& module) {
    return is_exported(module, "prompt");
}

bool is_exported(const CompiledModule& module, std::string_view name) {
    return !module.has_export_list || module.exports.contains(name);
}

std::shared_ptr<const FunctionDef> lookup_exported_function(const CompiledModule& module,
                                                            std::string_view name) {
    if (module.has_export_list && !module.exports.contains(name)) return nullptr;
    auto found = module.functions.find(name);
    return found == module.functions.end() ? nullptr : found->second;
}

ImportedModule build_imported_module(const CompiledModule& module) {
    ImportedModule imported;
    const bool importable = is_importable(module);
    if (importable) imported.body_text = module.body_text;
    imported.body_hidden = module.body_text != nullptr && !importable;
    for (const auto& [name, function] : module.functions) {
        if (is_exported(module, name)) imported.exported_functions.emplace(name, function);
    }
    if (importable) imported.body_mappings = module.body_mappings;
    return imported;
}

Result<CompiledModule> compile_imported_module(Resolver&, const ModuleSource&, bool,
                                               std::vector<std::string>&) {
    return new_syntax_error("internal error: module imports are not supported yet");
}

Result<CompiledModulePtr> resolve_import(Resolver& resolver, std::string_view directory,
                                         std::string_view path, const VarsMap* vars,
                                         std::vector<std::string>& warnings) {
    TYX_TRY(check_import_path(path));
    ModuleLoader& loader = resolver.loader();
    TYX_ASSIGN_OR_RETURN(std::string key, loader.resolve_relative(directory, path));
    // A module already compiled is shared: importing it again is never a cycle.
    const CompiledModulePtr* cached = resolver.find_module(key);
    if (cached != nullptr && !(*cached)->compiled_as_parent) return *cached;
    if (resolver.is_resolving(key)) {
        return CompileError::of(ErrorKind::CircularImport,
                                format_cycle_chain(resolver.resolving_stack(), key));
    }
    if (resolver.resolving_stack().size() >= MAX_IMPORT_DEPTH) {
        return CompileError::of(ErrorKind::Import, "import depth exceeds maximum of " +
                                                       decimal(MAX_IMPORT_DEPTH) +
                                                       " (possible deep chain)");
    }
    if (resolver.module_count() >= MAX_MODULES) {
        return CompileError::of(ErrorKind::ResourceLimit,
                                "module count exceeds maximum of " + decimal(MAX_MODULES) + " (" +
                                    decimal(resolver.module_count()) + " modules resolved)");
    }
    TYX_ASSIGN_OR_RETURN(std::string text, loader.read_source(key));
    const bool is_plain_markdown = loader.is_plain_markdown(key);
    TYX_TRY(check_tyx_module(key, text));

    resolver.push_resolving(key);
    std::string base_dir = loader.parent_dir(key);
    std::string display_name = display_source_path_with_root(key, loader);
    ModuleSource source{key, display_name, text, base_dir, vars};
    Result<CompiledModule> compiled =
        compile_imported_module(resolver, source, is_plain_markdown, warnings);
    std::optional<std::string> popped = resolver.pop_resolving();
    TYX_ASSIGN_OR_RETURN(CompiledModule module,
                         check_entry_stack_pop(std::move(compiled), popped, key));

    // A module compiled first as a parent keeps what its children already rely on.
    if (const CompiledModulePtr* parent = resolver.find_module(key)) {
        module.blocks = (*parent)->blocks;
        module.nodes = (*parent)->nodes;
        module.source = (*parent)->source;
    }
    auto shared = std::make_shared<const CompiledModule>(std::move(module));
    resolver.store_module(std::move(key), shared);
    return CompiledModulePtr(std::move(shared));
}

uint64_t line_length_at(std::string_view text, uint64_t offset) {
    if (offset >= text.size()) return 0;
    size_t newline = text.find('\n', static_cast<size_t>(offset));
    if (newline == std::string_view::npos) newline = text.size();
    return newline - offset;
}

CompileError attach_import_error_span(CompileError error, std::string_view path,
                                      std::string_view display_name, std::string_view text,
                                      uint64_t offset) {
    if (error.location.span) return error;
    const uint64_t length = line_length_at(text, offset);
    switch (error.kind) {
        case ErrorKind::CircularImport:
        case ErrorKind::ModuleNotFound:
            error.location = make_error_location(display_name, text, offset, length);
            return error;
        case ErrorKind::FileNotFound:
            return CompileError::at(ErrorKind::FileNotFound, std::string(path), display_name, text,
                                    offset, length);
        default:
            return error;
    }
}

}  // namespace tyx
