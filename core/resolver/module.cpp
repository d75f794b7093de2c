#include "core/resolver/module.h"

#include <algorithm>

#include "core/format.h"
#include "core/lexer.h"
#include "core/resolver/source_path.h"

namespace tyx {

SharedSource shared_source_of(const ModuleSource& source, const ParsedTemplate& tree) {
    return SharedSource{std::make_shared<const std::string>(source.key),
                        std::make_shared<const std::string>(source.display_name), tree.source};
}

bool is_importable(const CompiledModule& module) {
    return is_exported(module, "prompt");
}

bool is_exported(const CompiledModule& module, std::string_view name) {
    if (module.only_reexports) return exported_functions(module).contains(name);
    return !module.has_export_list || module.exports.contains(name);
}

std::shared_ptr<const FunctionDef> lookup_exported_function(const CompiledModule& module,
                                                            std::string_view name) {
    const FunctionMap& functions = exported_functions(module);
    auto found = functions.find(name);
    return found == functions.end() ? nullptr : found->second;
}

const FunctionMap& module_functions(const CompiledModule& module) {
    return module.only_reexports ? exported_functions(module) : module.functions;
}

const FunctionMap& exported_functions(const CompiledModule& module) {
    static const FunctionMap kNone;
    return module.exported == nullptr ? kNone : module.exported->functions();
}

void collect_exported_functions(CompiledModule& module) {
    if (module.only_reexports) return;
    FunctionMap exported;
    for (const auto& [name, function] : module.functions) {
        if (is_exported(module, name)) exported.emplace(name, function);
    }
    module.exported = std::make_shared<const ExportedFunctions>(std::move(exported));
}

ImportedModule build_imported_module(const CompiledModule& module) {
    ImportedModule imported;
    const bool importable = is_importable(module);
    if (importable) imported.body_text = module.body_text;
    imported.body_hidden = module.body_text != nullptr && !importable;
    imported.exported_functions = module.exported;
    if (importable) imported.body_mappings = module.body_mappings;
    return imported;
}

std::optional<ScopeImports> scope_imports(const Scope& scope, const std::vector<Node>& body) {
    const bool imports = std::any_of(body.begin(), body.end(),
                                     [](const Node& node) { return node_is<Node::Import>(node); });
    if (!imports) return std::nullopt;
    ScopeImports names;
    for (const ScopeFrame& frame : scope.frames()) {
        for (const auto& [name, function] : frame.functions)
            names.functions.insert_or_assign(name, function);
        for (const auto& [name, module] : frame.import_aliases)
            names.aliases.insert(name);
    }
    if (const Value* prompt = scope.lookup_variable("prompt")) names.prompt = *prompt;
    return names;
}

namespace {

// An import binds `prompt` only to a string value of its own, and a copy of a value shares its
// text, so the text's address tells whether the pass bound it.
bool binds_prompt(const std::optional<Value>& before, const Value* after) {
    if (after == nullptr || !after->is_string()) return false;
    return !before || !before->is_string() || &before->as_string() != &after->as_string();
}

}  // namespace

std::shared_ptr<const DirectiveImports> bound_directive_imports(
    const Scope& scope, const std::optional<ScopeImports>& imports, const FunctionMap& own,
    std::string_view key) {
    if (!imports) return nullptr;
    const ScopeImports& before = *imports;
    DirectiveImports bound;
    FunctionMap visible;
    for (const ScopeFrame& frame : scope.frames()) {
        for (const auto& [name, function] : frame.functions)
            visible.insert_or_assign(name, function);
        for (const auto& [name, module] : frame.import_aliases) {
            if (!before.aliases.contains(name)) bound.aliases.insert_or_assign(name, module);
        }
    }
    for (const auto& [name, function] : visible) {
        const auto was = before.functions.find(name);
        if (was != before.functions.end() && was->second == function) continue;
        const auto defined = own.find(name);
        if (defined != own.end() && defined->second == function) continue;
        bound.functions.insert_or_assign(name, function);
        if (was != before.functions.end()) bound.replaced.insert_or_assign(name, was->second);
    }
    const Value* prompt = scope.lookup_variable("prompt");
    if (binds_prompt(before.prompt, prompt)) bound.prompt = *prompt;
    if (bound.aliases.empty() && bound.functions.empty() && !bound.prompt) return nullptr;
    bound.key = std::string(key);
    return std::make_shared<const DirectiveImports>(std::move(bound));
}

Result<ParsedModule> parse_module(const ModuleSource& source) {
    // The tree's texts view this copy, which the tree and the module's functions share.
    auto text = std::make_shared<const std::string>(source.text);
    TYX_ASSIGN_OR_RETURN(ParsedTemplate parsed, parse_source(std::move(text), source.display_name));
    ParsedModule module{std::make_shared<const ParsedTemplate>(std::move(parsed)), {}, {}};
    if (module.tree->frontmatter) {
        TYX_ASSIGN_OR_RETURN(module.frontmatter_value,
                             parse_frontmatter_yaml(*module.tree->frontmatter));
        if (module.frontmatter_value->is_mapping()) {
            module.frontmatter = module.frontmatter_value->as_mapping();
        }
    }
    return module;
}

Result<CompiledModule> compile_module_at_key(Resolver& resolver, const std::string& key,
                                             const VarsMap* vars,
                                             std::vector<std::string>& warnings,
                                             ModuleCompiler compile) {
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
    ModuleLoader& loader = resolver.loader();
    TYX_ASSIGN_OR_RETURN(std::string text, loader.read_source(key));
    const bool is_plain_markdown = loader.is_plain_markdown(key);
    TYX_TRY(check_tyx_module(key, text));

    resolver.push_resolving(key);
    std::string base_dir = loader.parent_dir(key);
    std::string display_name = display_source_path_with_root(key, loader);
    ModuleSource source{key, display_name, text, base_dir, vars};
    Result<CompiledModule> compiled = compile(resolver, source, is_plain_markdown, warnings);
    std::optional<std::string> popped = resolver.pop_resolving();
    return check_entry_stack_pop(std::move(compiled), popped, key);
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
